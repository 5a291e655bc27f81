#include "thread/crossThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ids = std::vector<std::string>;

MapValues rec(const std::string& id) { return MapValues{{"id", id}}; }

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    const auto start = Clock::now();
    while (!done()) {
        if (msSince(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Worker that records what each pass was offered and consumes all, one or none of it.
// Passes can be held at a gate so tests can act while a pass is in flight.
class Probe : public Threads::Thread {
public:
    enum class Take { All, One, None };
    // recycle: what a pass consumes is given back (giveBack) for takeBlank to hand out again.
    explicit Probe(Take take, int maxJobs = 500, bool recycle = false)
        : Thread(maxJobs), m_take(take), m_recycle(recycle) {}
    ~Probe() override {
        openGate();
        stop();
        join();
    }

    void setTake(Take take) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_take = take;
    }
    void closeGate() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gateClosed = true;
    }
    void openGate() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gateClosed = false;
        m_cv.notify_all();
    }
    std::vector<Ids> batches() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_batches;
    }
    size_t passes() const { return batches().size(); }
    Ids consumed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_consumed;
    }
    int inits() const { return m_inits; }
    size_t givenBack() const { return m_givenBack; }

protected:
    void initializeByThread() override { ++m_inits; }
    void running(ListJobs& jobs) override {
        ListJobs spent;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            Ids offered;
            for (const QueuedRecord& job : jobs) offered.push_back(job.own.at("id"));
            m_batches.push_back(offered);
            // Bounded, so a push that wrongly waits for the pass shows up as slow, not as a hang.
            m_cv.wait_for(lock, std::chrono::milliseconds(500), [this] { return !m_gateClosed; });
            size_t n = m_take == Take::All ? jobs.size() : (m_take == Take::One ? 1 : 0);
            for (; n > 0 && !jobs.empty(); --n) {
                m_consumed.push_back(jobs.front().own.at("id"));
                spent.splice(spent.end(), jobs, jobs.begin());
            }
        }
        if (!m_recycle) return;
        const size_t count = spent.size();
        giveBack(spent);
        m_givenBack += count;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    Take m_take;
    const bool m_recycle;
    std::atomic<size_t> m_givenBack{0};
    bool m_gateClosed = false;
    std::vector<Ids> m_batches;
    Ids m_consumed;
    std::atomic<int> m_inits{0};
};

TEST(ConditionTest, DeadlineCarriesIntoTheNextSecond) {
    auto at = [](long sec, long nsec, int ms) {
        timespec now{};
        now.tv_sec = sec;
        now.tv_nsec = nsec;
        const timespec d = Threads::deadlineFrom(now, ms);
        return std::make_pair(static_cast<long>(d.tv_sec), static_cast<long>(d.tv_nsec));
    };
    EXPECT_EQ(at(10, 600000000, 1500), std::make_pair(12L, 100000000L));
    EXPECT_EQ(at(10, 0, 1500), std::make_pair(11L, 500000000L));
    EXPECT_EQ(at(10, 500000000, 500), std::make_pair(11L, 0L));
    EXPECT_EQ(at(10, 999999999, 999), std::make_pair(11L, 998999999L));
}

// Every timed wait reads its deadline on the monotonic clock. A deadline taken from that
// clock is honoured to the millisecond; read as a wall-clock time it would lie decades in the
// past and the wait would end at once, which is how a wait on the wall clock shows here
// without setting the machine's clock.
TEST(WaitClock, EveryTimedWaitHonoursAMonotonicDeadline) {
    ASSERT_EQ(CLOCK_MONOTONIC, Threads::kWaitClock);
    struct Case {
        const char* name;
        std::function<bool(const Threads::Condition&, const timespec&)> waitUntil;
    };
    const Case cases[] = {
        {"condition",
         [](const Threads::Condition& c, const timespec& deadline) {
             Threads::Mutex::scoped_lock lock(c);
             return c.waitUntil(deadline);
         }},
        {"lock held elsewhere",
         [](const Threads::Condition& c, const timespec& deadline) {
             std::promise<void> held;
             std::promise<void> release;
             std::thread holder([&] {
                 c.lock();
                 held.set_value();
                 release.get_future().wait();
                 c.unlock();
             });
             held.get_future().wait();
             const bool owned = c.tryLockUntil(deadline);
             if (owned) c.unlock();
             release.set_value();
             holder.join();
             return owned;
         }},
    };
    for (const Case& c : cases) {
        Threads::Condition cond;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const auto start = Clock::now();
        EXPECT_FALSE(c.waitUntil(cond, Threads::deadlineFrom(now, 150))) << c.name;
        const long elapsed = msSince(start);
        EXPECT_GE(elapsed, 145) << c.name;
        EXPECT_LT(elapsed, 5000) << c.name;
    }
}

TEST(ConditionTest, WaitReportsTimeOutAndWakeUp) {
    Threads::Condition cond;
    {
        Threads::Mutex::scoped_lock lock(cond);
        const auto start = Clock::now();
        EXPECT_FALSE(cond.wait(60));
        EXPECT_GE(msSince(start), 50);
    }
    // A limit of zero or below means no limit: such waits end only by the wake-up, never by
    // a time-out.
    for (int ms : {2000, 0, -5}) {
        bool flag = false;
        std::thread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(80));
            Threads::Mutex::scoped_lock lock(cond);
            flag = true;
            cond.signal();
        });
        const auto start = Clock::now();
        {
            Threads::Mutex::scoped_lock lock(cond);
            while (!flag) EXPECT_TRUE(cond.wait(ms)) << ms;
        }
        EXPECT_GE(msSince(start), 60) << ms;
        waker.join();
    }
}

TEST(ThreadTest, LeftoversGoBackInFrontOfRecordsPushedDuringThePass) {
    Probe probe(Probe::Take::One);
    for (const char* id : {"1", "2", "3"}) ASSERT_TRUE(probe.push(rec(id)));
    probe.closeGate();
    probe.start();
    ASSERT_TRUE(waitUntil([&] { return probe.passes() == 1; }));
    EXPECT_TRUE(probe.push(rec("4")));
    EXPECT_TRUE(probe.push(rec("5")));
    probe.openGate();

    // One record per pass: the rest is offered again without any further push.
    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 5; }));
    EXPECT_EQ(probe.consumed(), (Ids{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(probe.batches()[1], (Ids{"2", "3", "4", "5"}));
    EXPECT_EQ(probe.queuedCount(), 0u);
}

TEST(ThreadTest, BoundCountsWaitingRecordsOnlyAndPushNeverWaitsForAPass) {
    Probe probe(Probe::Take::All);
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(probe.push(rec("a" + std::to_string(i))));
    EXPECT_FALSE(probe.push(rec("dropped")));
    EXPECT_FALSE(probe.push(MapValues{}));
    EXPECT_EQ(probe.queuedCount(), 500u);

    probe.closeGate();
    probe.start();
    ASSERT_TRUE(waitUntil([&] { return probe.passes() == 1; }));
    // The 500 records in flight leave the queue free for 500 more, pushed at once although
    // the pass is still busy.
    const auto start = Clock::now();
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(probe.push(rec("b" + std::to_string(i))));
    EXPECT_FALSE(probe.push(rec("dropped")));
    EXPECT_EQ(probe.queuedCount(), 500u);
    EXPECT_LT(msSince(start), 50);
    probe.openGate();

    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 1000; }));
    EXPECT_EQ(probe.batches()[0].size(), 500u);
    EXPECT_EQ(probe.consumed()[500], "b0");
    EXPECT_TRUE(probe.push(rec("again")));
}

TEST(ThreadTest, HeldBackRecordsWaitForNewWorkInsteadOfSpinning) {
    Probe probe(Probe::Take::None);
    probe.start();
    probe.push(rec("1"));
    probe.push(rec("2"));
    ASSERT_TRUE(waitUntil([&] { return probe.passes() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(probe.passes(), 2u);
    EXPECT_FALSE(probe.push(MapValues{}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t settled = probe.passes();

    probe.push(rec("3"));
    ASSERT_TRUE(waitUntil([&] { return probe.passes() == settled + 1; }));
    EXPECT_EQ(probe.batches().back(), (Ids{"1", "2", "3"}));

    probe.setTake(Probe::Take::All);
    probe.wake();
    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 3; }));
    EXPECT_EQ(probe.queuedCount(), 0u);
}

// While records come often the worker looks at the queue by itself and push() does not wake
// it; once records stop it sleeps until woken. A record pushed at any moment of that cycle
// (while it lingers, as it gives up lingering, long after) is taken, and pushes that fill a
// quarter of the queue wake it at once.
TEST(ThreadTest, RecordsPushedWhileTheWorkerLingersOrSleepsAreAllTaken) {
    using Threads::Thread;
    const std::vector<int> gapsMs = {0,
                                     1,
                                     Thread::kLookMs,
                                     Thread::kLingerMs / 2,
                                     Thread::kLingerMs - 1,
                                     Thread::kLingerMs,
                                     Thread::kLingerMs + Thread::kLookMs,
                                     3 * Thread::kLingerMs};
    Probe probe(Probe::Take::All);
    probe.start();
    int serial = 0;
    for (int round = 0; round < 3; ++round) {
        for (int gap : gapsMs) {
            SCOPED_TRACE("gap " + std::to_string(gap) + " ms, round " + std::to_string(round));
            std::this_thread::sleep_for(std::chrono::milliseconds(gap));
            const std::string id = std::to_string(serial++);
            ASSERT_TRUE(probe.push(rec(id)));
            ASSERT_TRUE(waitUntil([&] {
                const Ids consumed = probe.consumed();
                return !consumed.empty() && consumed.back() == id;
            }));
        }
    }
    EXPECT_EQ(probe.consumed().size(), static_cast<size_t>(serial));
}

// stop() returns at once; the worker drains with passes as long as they take something, and
// from then on nothing new is queued.
TEST(ThreadTest, StopDrainsWhilePassesTakeRecordsThenEnds) {
    struct Case {
        Probe::Take take;
        size_t consumed;
        size_t leftQueued;
    };
    for (const Case& c : {Case{Probe::Take::One, 3, 0}, Case{Probe::Take::None, 0, 3}}) {
        Probe probe(c.take);
        probe.closeGate();
        probe.start();
        probe.push(rec("1"));
        ASSERT_TRUE(waitUntil([&] { return probe.passes() == 1; }));
        probe.push(rec("2"));
        probe.push(rec("3"));

        const auto start = Clock::now();
        probe.stop();
        EXPECT_LT(msSince(start), 100);
        EXPECT_FALSE(probe.push(rec("after stop")));
        probe.openGate();
        probe.join();
        EXPECT_EQ(c.consumed, probe.consumed().size());
        EXPECT_EQ(c.leftQueued, probe.queuedCount());
    }
}

TEST(ThreadTest, StopAndJoinBeforeStartChangeNothing) {
    Probe probe(Probe::Take::All);
    probe.push(rec("1"));
    const auto start = Clock::now();
    probe.stop();
    probe.join();
    EXPECT_LT(msSince(start), 50);
    EXPECT_EQ(probe.queuedCount(), 1u);

    probe.start();
    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 1; }));
}

TEST(ThreadTest, OneWorkingLifeOnly) {
    Probe probe(Probe::Take::All);
    probe.start();
    probe.start();
    probe.push(rec("1"));
    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 1; }));
    EXPECT_EQ(probe.inits(), 1);

    probe.stop();
    probe.join();
    EXPECT_FALSE(probe.push(rec("2")));
    probe.start();
    ASSERT_TRUE(waitUntil([&] { return probe.inits() == 2; }));
    probe.wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(probe.passes(), 1u);
    EXPECT_EQ(probe.queuedCount(), 0u);
    const auto start = Clock::now();
    probe.join();  // no stop: the second worker must have ended by itself
    EXPECT_LT(msSince(start), 500);
}

TEST(ThreadTest, DestroyingAStartedThreadEndsItsWorker) {
    const auto start = Clock::now();
    {
        Threads::Thread thread(500);
        thread.start();
        thread.push(rec("never taken"));
    }
    EXPECT_LT(msSince(start), 1000);
}

const std::string kId = "id";

// Pushes the record {"id": id} the way sendLog does: filled into a blank from takeBlank.
bool pushFilled(Threads::Thread& thread, const std::string& id) {
    ListJobs slot;
    if (!thread.takeBlank(slot)) return false;
    slot.front().setOwn({{kId, id}});
    return thread.push(slot);
}

// Plain pushes, and records filled into blanks the worker keeps giving back while pushers
// take them: nothing is lost, doubled or mixed up between records.
TEST(ThreadTest, ConcurrentPushersLoseNothing) {
    for (const bool recycle : {false, true}) {
        SCOPED_TRACE(recycle ? "filled blanks" : "plain pushes");
        Probe probe(Probe::Take::All, 500, recycle);
        probe.start();
        std::atomic<size_t> accepted{0};
        std::vector<std::thread> pushers;
        for (int t = 0; t < 8; ++t) {
            pushers.emplace_back([&, t] {
                for (int n = 0; n < 2000; ++n) {
                    const std::string id = std::to_string(t) + ":" + std::to_string(n);
                    if (recycle ? pushFilled(probe, id) : probe.push(rec(id))) ++accepted;
                }
            });
        }
        for (std::thread& pusher : pushers) pusher.join();
        ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == accepted.load(); }));
        EXPECT_EQ(probe.queuedCount(), 0u);

        // Each pusher's records arrive in the order it pushed them.
        std::vector<int> last(8, -1);
        for (const std::string& id : probe.consumed()) {
            const size_t colon = id.find(':');
            const int t = std::stoi(id.substr(0, colon));
            const int n = std::stoi(id.substr(colon + 1));
            EXPECT_GT(n, last[t]) << id;
            last[t] = n;
        }
    }
}

// A record given back comes out of takeBlank without its channel's fields or sequence number,
// keeping its own small map for setOwn to overwrite; filled again it holds exactly the new
// fields, whatever keys it had.
TEST(ThreadTest, GivenBackRecordsCarryOnlyWhatTheyAreFilledWith) {
    const std::string kBody = "body";
    const std::string kLevel = "logLevel";
    struct Case {
        const char* name;
        MapValues first;
        bool keepsItsMap;
    };
    const std::string longText(QueuedRecord::kReusableBytes, 'x');
    const Case cases[] = {
        {"the same keys", {{"id", "1"}, {"body", "first"}, {"logLevel", "DEBUG"}}, true},
        {"other keys", {{"id", "1"}, {"a", "2"}, {"z", "3"}}, true},
        {"a key more", {{"id", "1"}, {"body", "b"}, {"logLevel", "l"}, {"x", "y"}}, true},
        {"fewer keys", {{"id", "1"}, {"body", "b"}}, true},
        {"more fields than kept",
         {{"id", "1"}, {"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}},
         false},
        {"long text", {{"id", "1"}, {"body", longText}}, false},
    };
    const MapValues refilled = {{"id", "2"}, {"body", "second"}, {"logLevel", "INFO"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe(Probe::Take::All, 500, true);
        probe.start();
        QueuedRecord first(std::make_shared<const MapValues>(MapValues{{"channel", "c"}}), c.first);
        first.sequence = 7;
        ASSERT_TRUE(probe.push(std::move(first)));
        ASSERT_TRUE(waitUntil([&] { return probe.givenBack() == 1; }));

        ListJobs slot;
        ASSERT_TRUE(probe.takeBlank(slot));
        ASSERT_EQ(slot.size(), 1u);
        QueuedRecord& blank = slot.front();
        EXPECT_EQ(blank.shared, nullptr);
        EXPECT_EQ(blank.sequence, 0u);
        EXPECT_EQ(blank.own.empty(), !c.keepsItsMap);
        blank.setOwn({{kBody, "second"}, {kId, "2"}, {kLevel, "INFO"}});
        EXPECT_EQ(blank.merged(), refilled);
        blank.setOwn({{kLevel, "INFO"}, {kId, "2"}, {kBody, "second"}});  // not in key order
        EXPECT_EQ(blank.merged(), refilled);
        ASSERT_TRUE(probe.push(slot));
        EXPECT_TRUE(slot.empty());
        ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 2; }));
        EXPECT_EQ(probe.consumed().back(), "2");
    }
}

// takeBlank answers as push would, and keeps at most the queue's bound of records given back.
TEST(ThreadTest, TakeBlankRefusesWhenAPushWouldAndKeepsAtMostTheBound) {
    Probe probe(Probe::Take::All, 2, true);
    ListJobs slot;
    EXPECT_FALSE(probe.takeBlank(slot));  // not started: nothing would send it
    EXPECT_TRUE(slot.empty());
    probe.start();
    for (const char* round : {"a", "b"}) {
        const size_t before = probe.givenBack();
        ASSERT_TRUE(probe.push(rec(std::string(round) + "1")));
        ASSERT_TRUE(probe.push(rec(std::string(round) + "2")));
        ASSERT_TRUE(waitUntil([&] { return probe.givenBack() == before + 2; }));
    }
    // Four given back, two kept: two blanks come filled with old fields, the third is new.
    std::vector<ListJobs> slots(3);
    for (ListJobs& taken : slots) ASSERT_TRUE(probe.takeBlank(taken));
    EXPECT_FALSE(slots[0].front().own.empty());
    EXPECT_FALSE(slots[1].front().own.empty());
    EXPECT_TRUE(slots[2].front().own.empty());

    probe.setTake(Probe::Take::None);
    probe.closeGate();
    ASSERT_TRUE(probe.push(rec("held 1")));
    ASSERT_TRUE(probe.push(rec("held 2")));
    probe.openGate();
    ASSERT_TRUE(waitUntil([&] { return probe.queuedCount() == 2; }));
    EXPECT_FALSE(probe.takeBlank(slot));  // full
    probe.stop();
    EXPECT_FALSE(probe.takeBlank(slot));  // stopping
    EXPECT_TRUE(slot.empty());
}

}  // namespace
