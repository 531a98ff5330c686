#include "core/packets/qvpacketlist.h"
#include "core/settings/qvproplist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

// Counts the allocations made through operator new on the current thread
// while counting is switched on, so a test can show that a code path does not
// allocate. Every other allocation passes straight through to malloc.
namespace {
thread_local bool t_countAllocations = false;
thread_local std::size_t t_allocations = 0;
} // namespace

namespace {
void* CountedAllocate(std::size_t size) noexcept
{
    if (t_countAllocations) {
        ++t_allocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}
} // namespace

// Every plain (not over-aligned) form is replaced, so each allocation and its
// release go through the same malloc and free. gcc's -O2 mismatch check
// cannot see that operator new here returns malloc's memory.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size)
{
    if (void* p = CountedAllocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return CountedAllocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return CountedAllocate(size);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

namespace {

class AllocationCounter
{
public:
    AllocationCounter()
    {
        t_allocations = 0;
        t_countAllocations = true;
    }
    ~AllocationCounter() { t_countAllocations = false; }
    std::size_t Count() const { return t_allocations; }
};

// Packets whose sequences are 0, 1, 2, ... so tests can tell them apart.
std::vector<std::unique_ptr<QvBasePacket>> MakePackets(std::size_t count)
{
    std::vector<std::unique_ptr<QvBasePacket>> packets;
    for (std::size_t i = 0; i < count; ++i) {
        packets.push_back(std::make_unique<QvOpvPacket>(64));
        packets.back()->SetSequence(static_cast<std::uint32_t>(i));
    }
    return packets;
}

std::vector<std::uint32_t> Drain(QvSList& list)
{
    std::vector<std::uint32_t> sequences;
    while (QvBasePacket* p = list.get()) {
        sequences.push_back(p->Sequence());
    }
    return sequences;
}

using Sequences = std::vector<std::uint32_t>;

// ---------------------------------------------------------------------------
// QvSList

TEST(PacketList, EmptyListGivesNothingAndStaysEmpty)
{
    QvSList list;
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_EQ(list.removeFirst(), nullptr);
    EXPECT_EQ(list.removeLast(), nullptr);
    EXPECT_EQ(list.first(), nullptr);
    EXPECT_EQ(list.entries(), 0u);
    auto packets = MakePackets(1);
    EXPECT_EQ(list.remove(packets[0].get()), nullptr);
    EXPECT_EQ(list.remove(nullptr), nullptr);
    EXPECT_EQ(list.entries(), 0u);
}

TEST(PacketList, KeepsInsertionOrderAtBothEnds)
{
    auto p = MakePackets(5);
    QvSList list;
    EXPECT_TRUE(list.append(p[1].get()));
    EXPECT_TRUE(list.append(p[2].get()));
    EXPECT_TRUE(list.prepend(p[0].get()));
    EXPECT_TRUE(list.append(p[3].get()));
    EXPECT_TRUE(list.append(p[4].get()));
    EXPECT_EQ(list.entries(), 5u);
    EXPECT_EQ(list.first(), p[0].get());
    EXPECT_EQ(list.entries(), 5u);

    EXPECT_EQ(list.removeLast(), p[4].get());
    EXPECT_EQ(list.get(), p[0].get());
    EXPECT_EQ(Drain(list), (Sequences{1, 2, 3}));
    EXPECT_EQ(list.entries(), 0u);

    // A list emptied from the tail takes new packets normally again.
    EXPECT_TRUE(list.append(p[2].get()));
    EXPECT_EQ(list.removeLast(), p[2].get());
    EXPECT_EQ(list.removeLast(), nullptr);
    EXPECT_TRUE(list.append(p[3].get()));
    EXPECT_EQ(Drain(list), (Sequences{3}));
}

TEST(PacketList, RemoveFindsTheFirstPacketWithTheSameSequence)
{
    auto p = MakePackets(4);
    p[3]->SetSequence(1); // a second packet with sequence 1
    QvSList list;
    for (auto& packet : p) {
        list.append(packet.get());
    }

    QvOpvPacket probe(16);
    probe.SetSequence(1);
    EXPECT_EQ(list.remove(&probe), p[1].get());
    EXPECT_EQ(list.remove(&probe), p[3].get());
    EXPECT_EQ(list.remove(&probe), nullptr);
    probe.SetSequence(99);
    EXPECT_EQ(list.remove(&probe), nullptr);
    EXPECT_EQ(list.entries(), 2u);
    probe.SetSequence(2); // the last one
    EXPECT_EQ(list.remove(&probe), p[2].get());
    EXPECT_EQ(Drain(list), (Sequences{0}));
}

// The receive path looks at the first free packets, receives into them and
// only then takes them off, while the reader puts packets at either end.
TEST(PacketList, RunSeenAtTheHeadIsRemovedWhereverItMovedTo)
{
    auto p = MakePackets(6);
    QvSList list;
    for (int i = 0; i < 4; ++i) {
        list.append(p[i].get());
    }
    QvBasePacket* seen[3] = {};
    ASSERT_EQ(list.first(seen, 3), 3u);
    EXPECT_EQ(seen[2], p[2].get());
    list.prepend(p[4].get());
    list.append(p[5].get());

    EXPECT_EQ(list.removeRun(seen[0], 2), 2u);
    EXPECT_EQ(list.removeRun(p[0].get(), 1), 0u); // no longer in the list
    EXPECT_EQ(list.removeRun(p[3].get(), 5), 2u); // stops at the tail
    EXPECT_EQ(Drain(list), (Sequences{4, 2}));
}

TEST(PacketList, PacketIsInOneWorkingListAndOnePoolListAtATime)
{
    auto p = MakePackets(1);
    QvSList freeList;
    QvSList queue;
    QvSList all(QvListRole::Pool);
    EXPECT_FALSE(freeList.append(nullptr));
    EXPECT_TRUE(freeList.append(p[0].get()));
    EXPECT_FALSE(queue.append(p[0].get()));
    EXPECT_FALSE(freeList.prepend(p[0].get()));
    EXPECT_TRUE(all.append(p[0].get()));
    EXPECT_FALSE(all.append(p[0].get()));
    EXPECT_EQ(freeList.entries(), 1u);
    EXPECT_EQ(queue.entries(), 0u);

    ASSERT_EQ(freeList.get(), p[0].get());
    EXPECT_TRUE(queue.append(p[0].get()));
    EXPECT_EQ(all.first(), p[0].get());
}

TEST(PacketList, ClearingOrDeletingAListLeavesThePacketsAlive)
{
    auto p = MakePackets(3);
    {
        QvSList list;
        for (auto& packet : p) {
            list.append(packet.get());
        }
    }
    QvSList other;
    for (auto& packet : p) {
        EXPECT_TRUE(other.append(packet.get())); // free to join another list
    }
    other.clear();
    EXPECT_EQ(other.entries(), 0u);
    EXPECT_EQ(other.get(), nullptr);
    EXPECT_TRUE(other.append(p[1].get()));
    EXPECT_EQ(Drain(other), (Sequences{1}));
}

TEST(PacketList, DeletedPacketLeavesItsLists)
{
    auto p = MakePackets(3);
    QvSList list;
    QvSList all(QvListRole::Pool);
    for (auto& packet : p) {
        list.append(packet.get());
        all.append(packet.get());
    }
    p[1].reset();
    EXPECT_EQ(list.entries(), 2u);
    EXPECT_EQ(all.entries(), 2u);
    EXPECT_EQ(Drain(list), (Sequences{0, 2}));
    p[2].reset();
    EXPECT_EQ(Drain(all), (Sequences{0}));
}

TEST(PacketList, LockedCallerMovesPacketsWithTheUnlockedOperations)
{
    auto p = MakePackets(4);
    QvSList queue;
    QvSList freeList;
    for (auto& packet : p) {
        queue.append(packet.get());
    }
    queue.lock();
    freeList.lock();
    while (QvBasePacket* packet = queue._removeFirst()) {
        EXPECT_TRUE(freeList._append(packet));
    }
    freeList.unlock();
    queue.unlock();
    EXPECT_EQ(queue.entries(), 0u);
    EXPECT_EQ(Drain(freeList), (Sequences{0, 1, 2, 3}));
}

TEST(PacketList, CountsAreReadableFromAnotherThread)
{
    constexpr std::size_t kPackets = 64;
    auto p = MakePackets(kPackets);
    QvSList freeList;
    QvSList queue;
    for (auto& packet : p) {
        freeList.append(packet.get());
    }

    std::atomic<bool> done{false};
    std::atomic<bool> sawImpossible{false};
    std::thread watcher([&] {
        while (!done.load()) {
            if (freeList.entries() > kPackets || queue.entries() > kPackets) {
                sawImpossible = true;
            }
        }
    });
    // A producer moves free packets to the queue, a consumer moves them back.
    std::thread producer([&] {
        for (int i = 0; i < 20000; ++i) {
            if (QvBasePacket* packet = freeList.get()) {
                queue.append(packet);
            }
        }
    });
    std::thread consumer([&] {
        for (int i = 0; i < 20000; ++i) {
            if (QvBasePacket* packet = queue.get()) {
                freeList.append(packet);
            }
        }
    });
    producer.join();
    consumer.join();
    done = true;
    watcher.join();

    EXPECT_FALSE(sawImpossible.load());
    EXPECT_EQ(freeList.entries() + queue.entries(), kPackets);
    EXPECT_EQ(Drain(freeList).size() + Drain(queue).size(), kPackets);
}

// ---------------------------------------------------------------------------
// QvFifo

QvPropertyList PoolSettings(const char* format, int size)
{
    QvPropertyList props;
    props.SetProperty("PacketFormat", format);
    props.SetProperty("PacketSize", size, QvPropertyList::ValueType::Decimal);
    return props;
}

TEST(PacketFifo, PoolFillsTheAllAndFreeLists)
{
    QvFifo fifo;
    QvPropertyList props = PoolSettings("OVS", 1404);
    ASSERT_TRUE(fifo.CreatePool(8, &props));
    EXPECT_EQ(fifo.AllPackets().entries(), 8u);
    EXPECT_EQ(fifo.FreeList().entries(), 8u);
    EXPECT_EQ(fifo.LentList().entries(), 0u);
    EXPECT_EQ(fifo.DataQueue().entries(), 0u);
    QvBasePacket* packet = fifo.FreeList().first();
    ASSERT_NE(dynamic_cast<QvOvsPacket*>(packet), nullptr);
    EXPECT_EQ(packet->GetBufferSize(), 1404u);
    EXPECT_EQ(packet->GetPayloadOffset(), 20u);

    // Packets out on loan or queued are deleted with the pool too.
    fifo.DataQueue().append(fifo.FreeList().get());
    fifo.LentList().append(fifo.FreeList().get());
    fifo.DeletePool();
    for (QvSList* list :
         {&fifo.AllPackets(), &fifo.FreeList(), &fifo.LentList(), &fifo.DataQueue()}) {
        EXPECT_EQ(list->entries(), 0u);
        EXPECT_EQ(list->first(), nullptr);
    }
}

TEST(PacketFifo, PoolWithoutPacketSizeFails)
{
    QvFifo fifo;
    QvPropertyList props;
    EXPECT_FALSE(fifo.CreatePool(4, &props));
    EXPECT_FALSE(fifo.CreatePool(4, nullptr));
    EXPECT_EQ(fifo.AllPackets().entries(), 0u);
    EXPECT_EQ(fifo.FreeList().entries(), 0u);
}

TEST(PacketFifo, PacketsMoveFreeToQueueToLentAndBackInOrder)
{
    QvFifo fifo;
    QvPropertyList props = PoolSettings("OPV", 256);
    ASSERT_TRUE(fifo.CreatePool(4, &props));

    // Receive three datagrams into free packets.
    for (std::uint32_t i = 0; i < 3; ++i) {
        QvBasePacket* packet = fifo.FreeList().get();
        ASSERT_NE(packet, nullptr);
        packet->Reset();
        QvWriteOpvHeader(packet->GetBuffer(), 4, i * 100);
        ASSERT_TRUE(packet->SetReceived(104));
        fifo.DataQueue().append(packet);
    }
    EXPECT_EQ(fifo.FreeList().entries(), 1u);
    EXPECT_EQ(fifo.DataQueue().entries(), 3u);

    // The reader takes them in arrival order and lends each out.
    for (std::uint32_t i = 0; i < 3; ++i) {
        QvBasePacket* packet = fifo.DataQueue().get();
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->Sequence(), i * 100);
        fifo.LentList().append(packet);
    }
    EXPECT_EQ(fifo.LentList().entries(), 3u);
    // The oldest loan goes back to the free list first.
    QvBasePacket* oldest = fifo.LentList().get();
    EXPECT_EQ(oldest->Sequence(), 0u);
    fifo.FreeList().append(oldest);
    EXPECT_EQ(fifo.FreeList().entries(), 2u);
    EXPECT_EQ(fifo.AllPackets().entries(), 4u);
    fifo.DeletePool();
}

TEST(PacketFifo, ExhaustedPoolGivesNoPacketUntilOneReturns)
{
    QvFifo fifo;
    QvPropertyList props = PoolSettings("RAW", 64);
    ASSERT_TRUE(fifo.CreatePool(3, &props));
    std::vector<QvBasePacket*> taken;
    while (QvBasePacket* packet = fifo.FreeList().get()) {
        taken.push_back(packet);
        fifo.DataQueue().append(packet);
    }
    EXPECT_EQ(taken.size(), 3u);
    EXPECT_EQ(fifo.FreeList().get(), nullptr);

    // Reclaiming the newest queued packet makes one free again.
    QvBasePacket* newest = fifo.DataQueue().removeLast();
    EXPECT_EQ(newest, taken.back());
    fifo.FreeList().append(newest);
    EXPECT_EQ(fifo.FreeList().get(), newest);
    fifo.DeletePool();
}

TEST(PacketFifo, SteadyStateDoesNotAllocate)
{
    QvFifo fifo;
    QvPropertyList props = PoolSettings("OPV", 1404);
    ASSERT_TRUE(fifo.CreatePool(16, &props));
    {
        AllocationCounter probe; // the counter does see allocations
        auto extra = std::make_unique<QvOpvPacket>(8);
        EXPECT_GT(probe.Count(), 0u);
    }
    std::uint32_t offset = 0;
    std::size_t allocations = 0;
    {
        AllocationCounter counter;
        for (int i = 0; i < 5000; ++i) {
            QvBasePacket* packet = fifo.FreeList().get();
            ASSERT_NE(packet, nullptr);
            packet->Reset();
            QvWriteOpvHeader(packet->GetBuffer(), packet->GetBufferSize(), offset);
            ASSERT_TRUE(packet->SetReceived(1404));
            ASSERT_EQ(packet->CheckHeader(nullptr), 1);
            offset = packet->NextSequence();
            fifo.DataQueue().append(packet);

            QvBasePacket* next = fifo.DataQueue().get();
            ASSERT_EQ(next, packet);
            next->Consume(next->GetPayloadLength());
            fifo.LentList().append(next);
            if (fifo.LentList().entries() > 2) {
                fifo.FreeList().append(fifo.LentList().get());
            }
        }
        allocations = counter.Count();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(fifo.FreeList().entries() + fifo.LentList().entries(), 16u);
    fifo.DeletePool();
}

} // namespace
