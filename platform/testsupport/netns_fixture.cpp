#include "platform/testsupport/netns_fixture.h"

namespace qvtest {

void NetnsTest::SetUp()
{
    m_namespace = std::make_unique<ScopedNetNamespace>();
    switch (m_namespace->Status()) {
    case NetnsStatus::Ready:
        return;
    case NetnsStatus::Unavailable:
        GTEST_SKIP() << "network namespaces unavailable: " << m_namespace->Error();
    case NetnsStatus::Failed:
        FAIL() << "test network namespace set-up failed: " << m_namespace->Error();
    }
}

void NetnsTest::TearDown()
{
    m_namespace.reset();
}

void TwoHostTest::SetUp()
{
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    PeerOptions options;
    options.linkCount = m_linkCount;
    m_peer = std::make_unique<PeerHost>(options);
    switch (m_peer->Status()) {
    case NetnsStatus::Ready:
        return;
    case NetnsStatus::Unavailable:
        GTEST_SKIP() << "peer network namespace unavailable: " << m_peer->Error();
    case NetnsStatus::Failed:
        FAIL() << "peer network namespace set-up failed: " << m_peer->Error();
    }
}

void TwoHostTest::TearDown()
{
    // The peer goes first: its links end in the test's namespace.
    m_peer.reset();
    NetnsTest::TearDown();
}

} // namespace qvtest
