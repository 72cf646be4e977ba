// The web console's sessions: lifetime, logout, the bound on how many live
// at once, and the file that keeps them across a restart (damaged lines are
// skipped, expired sessions are not brought back).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "rpc/console_sessions.h"

using namespace vexon;

namespace {

int64_t fakeNow = 1'000'000;
int64_t FakeNow() { return fakeNow; }

std::string TempFile() {
  return (std::filesystem::temp_directory_path() / ("console-sessions-" + std::to_string(::getpid()))).string();
}

TEST(ConsoleSessions, ASessionLastsItsLifetimeAndEndsAtLogout) {
  fakeNow = 1'000'000;
  TConsoleSessions sessions(std::chrono::hours(2), "", FakeNow);
  const auto s = sessions.Create();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Id.size(), 64u);
  EXPECT_NE(s->Id, s->AntiForgery);
  EXPECT_EQ(s->Expires, fakeNow + 7200);
  EXPECT_FALSE(sessions.Find(s->Id.substr(0, 63)));
  EXPECT_FALSE(sessions.Find(""));
  fakeNow += 7199;
  EXPECT_TRUE(sessions.Find(s->Id));
  fakeNow += 1;
  EXPECT_FALSE(sessions.Find(s->Id)) << "expired";
  const auto t = sessions.Create();
  EXPECT_EQ(sessions.Count(), 1u) << "the expired one was dropped";
  EXPECT_TRUE(sessions.End(t->Id));
  EXPECT_FALSE(sessions.Find(t->Id));
  EXPECT_FALSE(sessions.End(t->Id));
}

TEST(ConsoleSessions, AtMostTheLimitLiveTheOldestGoesFirst) {
  fakeNow = 1'000'000;
  TConsoleSessions sessions(std::chrono::hours(1), "", FakeNow);
  const auto first = sessions.Create();
  const auto second = sessions.Create();
  for (size_t i = 2; i < TConsoleSessions::kMaxSessions; ++i) sessions.Create();
  EXPECT_TRUE(sessions.Find(first->Id));
  sessions.Create();
  EXPECT_EQ(sessions.Count(), TConsoleSessions::kMaxSessions);
  EXPECT_FALSE(sessions.Find(first->Id));
  EXPECT_TRUE(sessions.Find(second->Id));
}

TEST(ConsoleSessions, TheFileKeepsLiveSessionsAcrossARestartPrivately) {
  fakeNow = 1'000'000;
  const std::string file = TempFile();
  std::filesystem::remove(file);
  std::string kept, ended, expired;
  {
    TConsoleSessions sessions(std::chrono::hours(1), file, FakeNow);
    expired = sessions.Create()->Id;
    fakeNow += 1800;
    kept = sessions.Create()->Id;
    ended = sessions.Create()->Id;
    sessions.End(ended);
  }
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::ofstream(file, std::ios::app) << "not a session\n" << std::string(64, 'g') << " " << std::string(64, 'a')
                                     << " 99999999999\n";
  fakeNow += 1800;  // the first one's hour is over
  TConsoleSessions again(std::chrono::hours(1), file, FakeNow);
  EXPECT_TRUE(again.Find(kept));
  EXPECT_FALSE(again.Find(ended));
  EXPECT_FALSE(again.Find(expired));
  EXPECT_EQ(again.Count(), 1u) << "damaged lines are skipped";
  std::filesystem::remove(file);
}

}  // namespace
