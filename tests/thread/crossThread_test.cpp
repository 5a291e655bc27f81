#include "thread/crossThread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace {

using Ids = std::vector<std::string>;

MapValues rec(const std::string& id) { return MapValues{{"id", id}}; }

// A bound against hanging, not a claim about speed.
bool waitUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Worker that records what each pass was offered and consumes all, one or none of it, or
// holds the records back (holdsRecordsBack). Passes can be held at a gate so tests can act
// while a pass is in flight.
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
    void setHoldBack(bool holdBack) { m_holdBack = holdBack; }
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
    // Per pass, whether stopRequested() was true as it began.
    std::vector<bool> stopsSeen() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopsSeen;
    }
    int inits() const { return m_inits; }
    size_t givenBack() const { return m_givenBack; }
    void spillTo(Threads::SpillTarget* target) { setSpillTarget(target); }
    void setMaySpill(bool may) { m_maySpill = may; }
    bool olderDealtWith() const { return olderRecordsDealtWith(0); }
    bool endSpill(bool drained) {
        return endSpilling([drained] { return drained; });
    }

protected:
    void initializeByThread() override { ++m_inits; }
    bool holdsRecordsBack() const override { return m_holdBack; }
    bool mayBeginSpilling() const override { return m_maySpill; }
    void running(ListJobs& jobs) override {
        ListJobs spent;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            Ids offered;
            for (const QueuedRecord& job : jobs) offered.push_back(job.own.at("id"));
            m_batches.push_back(offered);
            m_stopsSeen.push_back(stopRequested());
            // Bounded, so a call that wrongly waits for the pass fails a check instead of hanging.
            m_cv.wait_for(lock, std::chrono::seconds(5), [this] { return !m_gateClosed; });
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
    std::atomic<bool> m_holdBack{false};
    std::atomic<bool> m_maySpill{true};
    bool m_gateClosed = false;
    std::vector<Ids> m_batches;
    std::vector<bool> m_stopsSeen;
    Ids m_consumed;
    std::atomic<int> m_inits{0};
};

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
    // The 500 records in flight leave the queue free for 500 more, pushed while the pass is
    // still held at the gate.
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(probe.push(rec("b" + std::to_string(i))));
    EXPECT_FALSE(probe.push(rec("dropped")));
    EXPECT_EQ(probe.queuedCount(), 500u);
    EXPECT_TRUE(probe.consumed().empty());
    probe.openGate();

    ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 1000; }));
    EXPECT_EQ(probe.batches()[0].size(), 500u);
    EXPECT_EQ(probe.consumed()[500], "b0");
    EXPECT_TRUE(probe.push(rec("again")));
}

// A pass that consumed nothing, or that was offered nothing since the records are held back,
// waits for new work instead of running again at once; the records stay queued, counted
// against the bound, until a pass takes them.
TEST(ThreadTest, RecordsNotTakenWaitForNewWorkInsteadOfSpinning) {
    struct Case {
        const char* name;
        bool holdBack;
        Ids offeredOnNewWork;
    };
    const Case cases[] = {{"consumed none", false, {"1", "2", "3"}}, {"held back", true, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe(Probe::Take::None);
        probe.setHoldBack(c.holdBack);
        probe.start();
        probe.push(rec("1"));
        probe.push(rec("2"));
        ASSERT_TRUE(waitUntil([&] { return probe.passes() >= 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const size_t settled = probe.passes();
        EXPECT_LE(settled, 2u);

        probe.push(rec("3"));
        ASSERT_TRUE(waitUntil([&] { return probe.passes() == settled + 1; }));
        EXPECT_EQ(probe.batches().back(), c.offeredOnNewWork);
        ASSERT_TRUE(waitUntil([&] { return probe.queuedCount() == 3; }));

        probe.setTake(Probe::Take::All);
        probe.setHoldBack(false);
        probe.wake();
        ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 3; }));
        EXPECT_EQ(probe.consumed(), (Ids{"1", "2", "3"}));
        EXPECT_EQ(probe.queuedCount(), 0u);
    }
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

// stop() returns at once, a pass still in flight; the worker drains with passes as long as
// they take something, held-back records included, and from then on nothing new is queued.
TEST(ThreadTest, StopDrainsWhilePassesTakeRecordsThenEnds) {
    struct Case {
        const char* name;
        Probe::Take take;
        bool holdBack;
        size_t consumed;
        size_t leftQueued;
    };
    const Case cases[] = {{"one per pass", Probe::Take::One, false, 3, 0},
                          {"none taken", Probe::Take::None, false, 0, 3},
                          {"held back", Probe::Take::All, true, 3, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe(c.take);
        probe.setHoldBack(c.holdBack);
        probe.closeGate();
        probe.start();
        probe.push(rec("1"));
        ASSERT_TRUE(waitUntil([&] { return probe.passes() == 1; }));
        probe.push(rec("2"));
        probe.push(rec("3"));

        probe.stop();
        EXPECT_TRUE(probe.consumed().empty());  // the first pass is still at the gate
        EXPECT_FALSE(probe.push(rec("after stop")));
        probe.openGate();
        probe.join();
        EXPECT_EQ(c.consumed, probe.consumed().size());
        EXPECT_EQ(c.leftQueued, probe.queuedCount());
        EXPECT_EQ(probe.stopsSeen().front(), false);
        EXPECT_EQ(probe.stopsSeen().back(), true);  // the drain's passes know it is one
    }
}

// Starts `thread` while every new thread would need a stack larger than the address space, so
// none can be created. False if that condition could not be set up.
bool startWhileNoThreadCanBeCreated(Threads::Thread& thread) {
    pthread_attr_t saved;
    pthread_attr_t huge;
    if (pthread_getattr_default_np(&saved) != 0) return false;
    pthread_attr_init(&huge);
    const bool set =
        pthread_attr_setstacksize(&huge, std::numeric_limits<size_t>::max() / 4 * 3) == 0 &&
        pthread_setattr_default_np(&huge) == 0;
    if (set) thread.start();
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    return set;
}

// Each in a process of its own, so that a call waiting for ever fails the row instead of
// hanging the suite.
TEST(ThreadTest, LifeCycle) {
    struct Case {
        const char* name;
        std::function<void()> body;
    };
    // Not started, or started when no thread could be created: stop() and join() change
    // nothing, no blank is handed out since nothing would send it, and a start delivers.
    auto asNeverStarted = [](bool startFails) {
        Probe probe(Probe::Take::All);
        EXPECT_TRUE(probe.push(rec("1")));
        if (startFails) {
            EXPECT_TRUE(startWhileNoThreadCanBeCreated(probe));
        }
        ListJobs slot;
        EXPECT_FALSE(probe.takeBlank(slot));
        probe.stop();
        probe.join();
        EXPECT_TRUE(probe.push(rec("2")));
        EXPECT_EQ(probe.queuedCount(), 2u);
        probe.start();
        EXPECT_TRUE(waitUntil([&] { return probe.consumed() == Ids{"1", "2"}; }));
    };
    const Case cases[] = {
        {"never started", [&] { asNeverStarted(false); }},
        {"thread creation failed", [&] { asNeverStarted(true); }},
        {"one working life only",
         [] {
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
             probe.join();  // no stop: the second worker ends by itself
         }},
        {"destroyed while started, a record queued",
         [] {
             Threads::Thread thread(500);
             thread.start();
             thread.push(rec("never taken"));
         }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, qm_test::runInChild(
                         [&] {
                             c.body();
                             return 0;
                         },
                         20000))
            << c.name;
    }
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
        EXPECT_EQ(blank.own, refilled);
        blank.setOwn({{kLevel, "INFO"}, {kId, "2"}, {kBody, "second"}});  // not in key order
        EXPECT_EQ(blank.own, refilled);
        ASSERT_TRUE(probe.push(slot));
        EXPECT_TRUE(slot.empty());
        ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 2; }));
        EXPECT_EQ(probe.consumed().back(), "2");
    }
}

// takeBlank answers as push would, and keeps at most the queue's bound of records given back.
TEST(ThreadTest, TakeBlankRefusesWhenAPushWouldAndKeepsAtMostTheBound) {
    Probe probe(Probe::Take::All, 2, true);
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
    ListJobs slot;
    EXPECT_FALSE(probe.takeBlank(slot));  // full
    probe.stop();
    EXPECT_FALSE(probe.takeBlank(slot));  // stopping
    EXPECT_TRUE(slot.empty());
}

// Where records go once the queue is full: a list of bounded room.
class ListSpill : public Threads::SpillTarget {
public:
    explicit ListSpill(size_t room) : m_room(room) {}
    bool hasRoom() override { return taken.size() < m_room; }
    bool take(ListJobs& slot) override {
        if (!hasRoom()) return false;
        taken.push_back(slot.front().own.at("id"));
        slot.clear();
        return true;
    }
    Ids taken;

private:
    const size_t m_room;
};

// Once the queue is full every later record spills, also when the queue has room again, until
// spilling is ended with nothing left in the spill target: none overtakes an older one. The
// records queued before spilling began count as dealt with only once a pass took them.
TEST(ThreadTest, SpillingLastsUntilEndedSoNoRecordOvertakesAnOlderOne) {
    using Pushed = Threads::Thread::Pushed;
    struct Row {
        const char* name;
        size_t spillRoom;
        bool drained;  // what the spill target says when spilling is to end
        Ids spilled;
        Pushed last;
        // The subclass lets spilling begin only after a refusal (mayBeginSpilling).
        bool refusesFirst = false;
    };
    const Row rows[] = {
        {"taken by the spill target, then ended", 10, true, {"s1", "s2", "s3"}, Pushed::Queued},
        {"the spill target full refuses", 1, true, {"s1"}, Pushed::Queued},
        {"not drained: spilling goes on", 10, false, {"s1", "s2", "s3", "n1"}, Pushed::Spilled},
        {"spilling not allowed yet: the full queue refuses",
         10,
         true,
         {"s1", "s2", "s3"},
         Pushed::Queued,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ListSpill spill(row.spillRoom);
        Probe probe(Probe::Take::All, 2);
        probe.spillTo(&spill);
        probe.setHoldBack(true);
        probe.start();
        const auto push = [&](const std::string& id) {
            ListJobs slot;
            slot.emplace_back(rec(id));
            return probe.pushOrSpill(slot);
        };
        EXPECT_EQ(Pushed::Queued, push("q1"));
        EXPECT_EQ(Pushed::Queued, push("q2"));
        if (row.refusesFirst) {
            probe.setMaySpill(false);
            EXPECT_EQ(Pushed::Refused, push("r1"));
            EXPECT_FALSE(probe.spilling());
            probe.setMaySpill(true);
        }
        EXPECT_EQ(Pushed::Spilled, push("s1"));
        EXPECT_EQ(row.spillRoom > 1 ? Pushed::Spilled : Pushed::Refused, push("s2"));
        EXPECT_TRUE(probe.spilling());
        EXPECT_FALSE(probe.olderDealtWith());
        probe.setHoldBack(false);
        probe.wake();
        ASSERT_TRUE(waitUntil([&] { return probe.consumed().size() == 2; }));
        EXPECT_EQ((Ids{"q1", "q2"}), probe.consumed());
        EXPECT_TRUE(probe.olderDealtWith());
        // The queue has room again; the record still goes behind those spilled before it.
        EXPECT_EQ(row.spillRoom > 1 ? Pushed::Spilled : Pushed::Refused, push("s3"));
        EXPECT_EQ(row.drained, probe.endSpill(row.drained));
        EXPECT_EQ(row.last, push("n1"));
        EXPECT_EQ(row.spilled, spill.taken);
    }
}

}  // namespace
