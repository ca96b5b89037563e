// The rules of an event group, driven directly over a database: what a kept event leaves behind,
// what a rolled-back one takes with it, and when the after-commit actions run.
#include "APMEventGroup.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "TestSupport.h"
#include "platform/DispatchQueue.h"

namespace {

class APMEventGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_->sync([&] {
      platform::Error error;
      db_ = APMDatabase::create(APMDatabase::kDatabaseName, nullptr, queue_, &error);
      ASSERT_TRUE(db_) << error.description;
    });
  }
  void TearDown() override {
    queue_->sync([&] { db_.reset(); });
  }

  // One event's write: a user property named after the event.
  bool write(const std::string& name) {
    return db_->userProperties().updateUserAttribute(APMUserAttribute("app", name, APMValue(int64_t{1}), 1), nullptr);
  }
  bool stored(const std::string& name) { return db_->userProperties().userAttributeWithName(name, nullptr) != nullptr; }
  static APMDailyCounts counts(int32_t all) {
    APMDailyCounts counts;
    counts.day = 19675;
    counts.allEventsCount = all;
    return counts;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("com.diroda.zora.worker");
  std::shared_ptr<APMDatabase> db_;
};

// One group: a kept event, one that refuses, one that throws and one kept after them. Only the kept
// events' rows, state and actions survive, and the actions run once, after the commit.
TEST_F(APMEventGroupTest, CommitKeepsTheKeptEventsAndRunsTheirActionsOnce) {
  std::vector<std::string> ran;
  queue_->sync([&] {
    int flushes = 0;
    {
      APMEventGroup group(*db_, APMEventGroup::Settings{});
      ASSERT_TRUE(group.isOpen()) << group.beginError().description;
      struct Step {
        std::string name;
        enum { Keep, Refuse, Throw } end;
      };
      const Step steps[] = {{"first", Step::Keep}, {"refused", Step::Refuse}, {"thrown", Step::Throw},
                            {"last", Step::Keep}};
      int32_t all = 0;
      for (const Step& step : steps) {
        const bool kept = group.writeEvent([&] {
          EXPECT_TRUE(write(step.name));
          group.setDailyCounts(counts(++all));
          group.noteAggregateRow(step.name);
          group.addMetadataRow(all, platform::Data{static_cast<uint8_t>(all)});
          group.afterCommit([&ran, name = step.name] { ran.push_back(name); });
          if (step.end == Step::Throw) throw std::runtime_error("boom");
          return step.end == Step::Keep;
        });
        EXPECT_EQ(kept, step.end == Step::Keep) << step.name;
      }
      EXPECT_EQ(group.rolledBackEvents(), 2u);
      EXPECT_TRUE(group.hasAggregateRow("first"));
      EXPECT_TRUE(group.hasAggregateRow("last"));
      EXPECT_FALSE(group.hasAggregateRow("refused"));
      EXPECT_FALSE(group.hasAggregateRow("thrown"));
      EXPECT_EQ(group.dailyCounts(), counts(4));
      for (int64_t fingerprint : {1, 2, 3, 4}) {
        EXPECT_EQ(group.metadataRow(fingerprint) != nullptr, fingerprint == 1 || fingerprint == 4) << fingerprint;
      }
      EXPECT_TRUE(ran.empty()) << "nothing runs before the commit";

      platform::Error error;
      ASSERT_TRUE(group.commit(
          [&] {
            ++flushes;
            EXPECT_EQ(group.changedDailyCounts(), counts(4));
            return true;
          },
          &error))
          << error.description;
      EXPECT_EQ(ran, (std::vector<std::string>{"first", "last"}));
      group.afterCommit([&] { ran.push_back("after the end"); });
      EXPECT_EQ(ran.back(), "after the end") << "an ended group runs actions at once";
    }
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(ran.size(), 3u) << "the group's end runs nothing again";
    EXPECT_TRUE(stored("first"));
    EXPECT_TRUE(stored("last"));
    EXPECT_FALSE(stored("refused"));
    EXPECT_FALSE(stored("thrown"));
  });
}

// Events written inside an event belong to it: undone with it, and its own refusal is seen.
TEST_F(APMEventGroupTest, NestedEventsGoWithTheEventAroundThem) {
  struct Case {
    const char* name;
    bool innerKept;
    bool outerKept;
    bool innerStored;
  };
  const Case cases[] = {
      {"both kept", true, true, true},
      {"inner refused", false, true, false},
      {"outer refused", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> ran;
    queue_->sync([&] {
      db_->reset(nullptr);
      APMEventGroup group(*db_, APMEventGroup::Settings{});
      ASSERT_TRUE(group.isOpen());
      group.writeEvent([&] {
        write("outer");
        group.afterCommit([&] { ran.push_back("outer"); });
        group.writeEvent([&] {
          write("inner");
          group.noteAggregateRow("inner");
          group.noteRolloutsText(std::string("rollout"));
          group.afterCommit([&] { ran.push_back("inner"); });
          return c.innerKept;
        });
        EXPECT_EQ(group.nestedEventRolledBack(), !c.innerKept);
        EXPECT_EQ(group.hasAggregateRow("inner"), c.innerKept) << "seen inside the outer event";
        return c.outerKept;
      });
      EXPECT_EQ(group.hasAggregateRow("inner"), c.innerStored);
      EXPECT_EQ(group.rolloutsText().has_value(), c.innerStored);
      ASSERT_TRUE(group.commit(nullptr, nullptr));
      EXPECT_EQ(stored("outer"), c.outerKept);
      EXPECT_EQ(stored("inner"), c.innerStored);
    });
    std::vector<std::string> expected;
    if (c.outerKept) expected.push_back("outer");
    if (c.innerStored) expected.push_back("inner");
    EXPECT_EQ(ran, expected);
  }
}

// A group that ends without its commit, or whose flush refuses, keeps nothing and runs nothing; a
// group that cannot begin writes nothing.
TEST_F(APMEventGroupTest, AGroupThatDoesNotCommitKeepsNothing) {
  std::vector<std::string> ran;
  queue_->sync([&] {
    {
      APMEventGroup group(*db_, APMEventGroup::Settings{});
      group.writeEvent([&] {
        group.afterCommit([&] { ran.push_back("abandoned"); });
        return write("abandoned");
      });
    }
    APMEventGroup group(*db_, APMEventGroup::Settings{});
    group.writeEvent([&] {
      group.afterCommit([&] { ran.push_back("flush refused"); });
      return write("flush refused");
    });
    platform::Error error;
    EXPECT_FALSE(group.commit([] { return false; }, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(stored("abandoned"));
    EXPECT_FALSE(stored("flush refused"));
  });
  EXPECT_TRUE(ran.empty());

  // Off the worker queue the database refuses to begin.
  APMEventGroup outside(*db_, APMEventGroup::Settings{});
  EXPECT_FALSE(outside.isOpen());
  EXPECT_FALSE(outside.beginError().empty());
  bool wrote = false;
  EXPECT_FALSE(outside.writeEvent([&] { return wrote = true; }));
  EXPECT_FALSE(wrote);
  EXPECT_FALSE(outside.commit(nullptr, nullptr));
}

}  // namespace
