// GoogleTest fixtures that run each test in a private network namespace.
//
//   class MyNetTest : public qvtest::NetnsTest {};
//   TEST_F(MyNetTest, ...) { /* sockets here live in the test's namespace */ }
//
//   class MyTwoHostTest : public qvtest::TwoHostTest
//   {
//   protected:
//       MyTwoHostTest() : TwoHostTest(1) {}
//   };
//
// A test is skipped when this machine does not allow network namespaces (not
// root, or refused) and fails when they are allowed but set-up goes wrong.
// A subclass overriding SetUp calls the base first and returns when
// IsSkipped() or HasFatalFailure().
//
// Sockets belong to the namespace they were opened in: open them in the test
// body or in SetUp after the base SetUp, never in the fixture's constructor or
// member initialisers, which run before the namespace exists.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "platform/testsupport/netns.h"

namespace qvtest {

class NetnsTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    ScopedNetNamespace& Namespace() { return *m_namespace; }

private:
    std::unique_ptr<ScopedNetNamespace> m_namespace;
};

// NetnsTest plus a peer host joined by `linkCount` veth pairs.
class TwoHostTest : public NetnsTest
{
protected:
    explicit TwoHostTest(int linkCount = 2) : m_linkCount(linkCount) {}

    void SetUp() override;
    void TearDown() override;

    PeerHost& Peer() { return *m_peer; }
    const VethLink& Link(std::size_t index) const { return m_peer->Link(index); }

private:
    int m_linkCount;
    std::unique_ptr<PeerHost> m_peer;
};

} // namespace qvtest
