#include "core/net/qvinterfaces.h"
#include "core/settings/qvproplist.h"

#include "platform/testsupport/netns_fixture.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nettest::Dotted;
using nettest::Ipv4;

namespace {

// Records each offered interface and takes those not listed as refused.
class RecordingInterfaces : public QvAllInterfaces
{
public:
    int OnNewInterface(unsigned long address, QvPropertyList* settings) override
    {
        offered.push_back(Dotted(static_cast<std::uint32_t>(address)));
        seenSettings.push_back(settings);
        for (const std::string& refused : refuse) {
            if (refused == offered.back()) {
                return -1;
            }
        }
        return 0;
    }

    std::vector<std::string> offered;
    std::vector<QvPropertyList*> seenSettings;
    std::vector<std::string> refuse;
};

class InterfacesTest : public ::testing::Test
{
protected:
    nettest::ScopedHostAddresses m_hosts{{Ipv4("10.0.0.1"), Ipv4("192.168.5.20")}};
    QvPropertyList m_settings;
};

using Offers = std::vector<std::string>;

} // namespace

TEST_F(InterfacesTest, EnumeratesTheAddressesReadAtConstruction)
{
    QvAllInterfaces interfaces;
    EXPECT_EQ(interfaces.EnumInterface(0), "10.0.0.1");
    EXPECT_EQ(interfaces.EnumInterface(1), "192.168.5.20");
    EXPECT_EQ(interfaces.EnumInterface(2), "");
    EXPECT_EQ(interfaces.EnumInterface(-1), "");
    EXPECT_EQ(interfaces.GetNumInterfaces(), 0);

    m_hosts.Set({Ipv4("10.9.9.9")}); // later changes do not touch the stored list
    EXPECT_EQ(interfaces.EnumInterface(0), "10.0.0.1");
}

TEST_F(InterfacesTest, WithoutSettingEveryAddressIsOfferedInOrder)
{
    RecordingInterfaces interfaces;
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.1", "192.168.5.20"}));
    EXPECT_EQ(interfaces.GetNumInterfaces(), 2);
    EXPECT_EQ(interfaces.seenSettings, (std::vector<QvPropertyList*>{nullptr, nullptr}));
}

TEST_F(InterfacesTest, AnyOffersEveryAddressWithTheSettings)
{
    RecordingInterfaces interfaces;
    m_settings.SetProperty("Interface", "Any");
    interfaces.SetPropertyList(&m_settings);
    interfaces.refuse = {"10.0.0.1"};
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.1", "192.168.5.20"}));
    EXPECT_EQ(interfaces.GetNumInterfaces(), 1);
    EXPECT_EQ(interfaces.seenSettings[0], &m_settings);
}

TEST_F(InterfacesTest, DefaultOffersTheFirstAddressOnly)
{
    RecordingInterfaces interfaces;
    m_settings.SetProperty("Interface", "default");
    interfaces.SetPropertyList(&m_settings);
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.1"}));
    EXPECT_EQ(interfaces.GetNumInterfaces(), 1);
}

TEST_F(InterfacesTest, GivenAddressIsOfferedEvenWhenTheHostLacksIt)
{
    RecordingInterfaces interfaces;
    m_settings.SetProperty("Interface", "10.0.0.7");
    interfaces.SetPropertyList(&m_settings);
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.7"}));

    interfaces.offered.clear();
    interfaces.refuse = {"10.0.0.7"};
    nettest::DebugLogCapture log;
    EXPECT_EQ(interfaces.ScanInterfaces(), -2);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.7"}));
    EXPECT_EQ(interfaces.GetNumInterfaces(), 0);
    EXPECT_EQ(log.Text(), "No Interface Initialized\n");
}

TEST_F(InterfacesTest, BaseClassTakesNoInterface)
{
    nettest::DebugLogCapture log;
    QvAllInterfaces interfaces;
    EXPECT_EQ(interfaces.OnNewInterface(Ipv4("10.0.0.1"), nullptr), -1);
    EXPECT_EQ(interfaces.ScanInterfaces(), -2);
    EXPECT_EQ(interfaces.GetNumInterfaces(), 0);
    EXPECT_EQ(log.Text(), "No Interface Initialized\n");
}

TEST_F(InterfacesTest, HostWithoutAddressesReportsNoInterfaces)
{
    m_hosts.Set({});
    nettest::DebugLogCapture log;
    RecordingInterfaces interfaces;
    EXPECT_EQ(interfaces.EnumInterface(0), "");
    EXPECT_EQ(interfaces.ScanInterfaces(), -1);
    EXPECT_TRUE(interfaces.offered.empty());
    EXPECT_EQ(log.Text(), "No Interfaces Detected\n");
}

TEST_F(InterfacesTest, FailedLookupAtScanTimeIsAFailureNotAnExit)
{
    RecordingInterfaces interfaces;
    m_hosts.Set({});
    nettest::DebugLogCapture log;
    EXPECT_EQ(interfaces.ScanInterfaces(), -1);
    EXPECT_TRUE(interfaces.offered.empty());
    EXPECT_EQ(log.Text(), "No Interfaces Detected\n");
}

TEST_F(InterfacesTest, ScanWalksTheCurrentAddressesWhenTheHostChanged)
{
    RecordingInterfaces interfaces;
    m_hosts.Set({Ipv4("192.168.5.20")});
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"192.168.5.20"}));

    interfaces.offered.clear();
    m_hosts.Set({Ipv4("10.0.0.1"), Ipv4("10.0.0.2"), Ipv4("10.0.0.3")});
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(interfaces.GetNumInterfaces(), 3);
}

TEST_F(InterfacesTest, EachScanStartsTheCountAfresh)
{
    RecordingInterfaces interfaces;
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.GetNumInterfaces(), 2);
    interfaces.refuse = {"10.0.0.1", "192.168.5.20"};
    EXPECT_EQ(interfaces.ScanInterfaces(), -2);
    EXPECT_EQ(interfaces.GetNumInterfaces(), 0);
}

class InterfacesNetns : public qvtest::NetnsTest
{
};

TEST_F(InterfacesNetns, LoopbackOnlyHostHasItsLoopbackAddress)
{
    RecordingInterfaces interfaces;
    EXPECT_EQ(interfaces.EnumInterface(0), "127.0.0.1");
    EXPECT_EQ(interfaces.EnumInterface(1), "");
    EXPECT_EQ(interfaces.ScanInterfaces(), 0);
    EXPECT_EQ(interfaces.offered, (Offers{"127.0.0.1"}));
}
