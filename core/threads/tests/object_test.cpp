#include "core/threads/qvobject.h"

#include "core/packets/qvpacket.h"
#include "core/settings/qvproplist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

class DataBlock : public QvData
{
};

// Exposes the data pointer that the base keeps for its subclasses.
class DataHolder : public QvObject
{
public:
    QvData* Data() const { return m_data; }
};

TEST(QvObject, InitializeOnceUntilUnInitialize)
{
    QvObject object;
    EXPECT_FALSE(object.IsInitialized());
    EXPECT_TRUE(object.Initialize(nullptr));
    EXPECT_TRUE(object.IsInitialized());
    EXPECT_FALSE(object.Initialize(nullptr));
    EXPECT_TRUE(object.IsInitialized());
    object.UnInitialize();
    EXPECT_FALSE(object.IsInitialized());
    QvPropertyList props;
    EXPECT_TRUE(object.Initialize(&props));
    EXPECT_EQ(object.GetQvInterface("anything"), nullptr);
}

TEST(QvObject, InitializeAsksTheVirtualIsInitialized)
{
    class AlwaysReady : public QvObject
    {
    public:
        bool IsInitialized() const override { return true; }
    };
    AlwaysReady object;
    EXPECT_FALSE(object.Initialize(nullptr));
}

TEST(QvObject, CopiesCarryFlagAndData)
{
    DataBlock block;
    DataHolder original;
    original.SetQvData(&block);
    ASSERT_TRUE(original.Initialize(nullptr));

    DataHolder copy(original);
    EXPECT_TRUE(copy.IsInitialized());
    EXPECT_EQ(copy.Data(), &block);

    DataHolder assigned;
    assigned = original;
    EXPECT_TRUE(assigned.IsInitialized());
    EXPECT_EQ(assigned.Data(), &block);
}

// Makes a list from one-line text ("PacketSize=1400 PacketFormat=raw").
std::unique_ptr<QvPropertyList> Props(const char* text)
{
    auto props = std::make_unique<QvPropertyList>();
    props->AddProperties(text);
    return props;
}

std::unique_ptr<QvObject> Create(const char* name, QvPropertyList* props)
{
    return std::unique_ptr<QvObject>(QvCreateObject(name, props));
}

TEST(QvObjectFactory, PropertyListIsAnEmptyList)
{
    auto props = Props("A=1");
    auto object = Create("PropertyList", props.get());
    ASSERT_NE(object, nullptr);
    auto* list = dynamic_cast<QvPropertyList*>(object.get());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetCount(), 0);
    list->AddProperty("X", "y");
    EXPECT_EQ(list->GetCount(), 1);
    EXPECT_FALSE(object->IsInitialized());

    EXPECT_NE(Create("PropertyList", nullptr), nullptr);
}

TEST(QvObjectFactory, NamesAreExact)
{
    auto props = Props("PacketSize=1400");
    EXPECT_EQ(Create("packet", props.get()), nullptr);
    EXPECT_EQ(Create("PACKET", props.get()), nullptr);
    EXPECT_EQ(Create("propertylist", props.get()), nullptr);
    EXPECT_EQ(Create("Socket", props.get()), nullptr);
    EXPECT_EQ(Create("", props.get()), nullptr);
    EXPECT_EQ(Create(nullptr, props.get()), nullptr);
}

TEST(QvObjectFactory, PacketNeedsAListWithPacketSize)
{
    EXPECT_EQ(Create("Packet", nullptr), nullptr);
    auto noSize = Props("PacketFormat=RAW");
    EXPECT_EQ(Create("Packet", noSize.get()), nullptr);
}

// The packet class and buffer size that a list makes.
template <class Packet>
void ExpectPacket(const char* text, std::uint32_t size)
{
    auto props = Props(text);
    auto object = Create("Packet", props.get());
    ASSERT_NE(object, nullptr) << text;
    auto* packet = dynamic_cast<Packet*>(object.get());
    ASSERT_NE(packet, nullptr) << text;
    EXPECT_EQ(packet->GetBufferSize(), size) << text;
}

TEST(QvObjectFactory, PacketFormatPicksTheClass)
{
    ExpectPacket<QvOpvPacket>("PacketSize=1404", 1404);
    ExpectPacket<QvRawPacket>("PacketSize=1400 PacketFormat=raw", 1400);
    ExpectPacket<QvRawPacket>("PacketSize=1400 PacketFormat=RAW", 1400);
    ExpectPacket<QvOvsPacket>("PacketSize=1420 PacketFormat=Ovs", 1420);
    ExpectPacket<QvQvsPacket>("PacketSize=1408 PacketFormat=qvs", 1408);
    ExpectPacket<QvOpvPacket>("PacketSize=1404 PacketFormat=OPV", 1404);
    ExpectPacket<QvOpvPacket>("PacketSize=1404 PacketFormat=mpeg", 1404);
    ExpectPacket<QvOpvPacket>("PacketSize=0x200 PacketFormat=", 512);
    ExpectPacket<QvRawPacket>("PacketSize=0 PacketFormat=RAW", 0);
}

TEST(QvObjectFactory, PacketTooSmallForItsHeaderIsNotMade)
{
    for (const char* text : {"PacketSize=-1", "PacketSize=3", "PacketSize=7 PacketFormat=QVS",
                             "PacketSize=19 PacketFormat=OVS", "PacketSize=-1 PacketFormat=RAW",
                             "PacketSize=junk"}) {
        auto props = Props(text);
        EXPECT_EQ(Create("Packet", props.get()), nullptr) << text;
    }
    ExpectPacket<QvOvsPacket>("PacketSize=20 PacketFormat=OVS", 20);
}

TEST(QvObjectFactory, SubclassFallsBackToTheBase)
{
    class ExtendedFactory : public QvObjectFactory
    {
    public:
        QvObject* CreateObject(const char* name, QvPropertyList* props) override
        {
            if (name != nullptr && std::strcmp(name, "Plain") == 0) {
                return new QvObject();
            }
            return QvObjectFactory::CreateObject(name, props);
        }
    };
    ExtendedFactory factory;
    QvObjectFactory& base = factory;
    std::unique_ptr<QvObject> plain(base.CreateObject("Plain", nullptr));
    EXPECT_NE(plain, nullptr);
    std::unique_ptr<QvObject> list(base.CreateObject("PropertyList", nullptr));
    EXPECT_NE(dynamic_cast<QvPropertyList*>(list.get()), nullptr);
    EXPECT_EQ(base.CreateObject("Other", nullptr), nullptr);
}

} // namespace
