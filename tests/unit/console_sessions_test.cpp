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
  TConsoleSessions sessions(std::chrono::hours(2), "", "t", FakeNow);
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
  TConsoleSessions sessions(std::chrono::hours(1), "", "t", FakeNow);
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
    TConsoleSessions sessions(std::chrono::hours(1), file, "token-1", FakeNow);
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
  TConsoleSessions again(std::chrono::hours(1), file, "token-1", FakeNow);
  EXPECT_TRUE(again.Find(kept));
  EXPECT_FALSE(again.Find(ended));
  EXPECT_FALSE(again.Find(expired));
  EXPECT_EQ(again.Count(), 1u) << "damaged lines are skipped";
  // A shorter lifetime set since shortens the kept session too.
  TConsoleSessions shorter(std::chrono::minutes(10), file, "token-1", FakeNow);
  EXPECT_EQ(shorter.Find(kept)->Expires, fakeNow + 600);
  std::filesystem::remove(file);
}

// A token replaced (a leaked one) ends every session given under the old
// one, and the file no longer holds them; the token itself is not in it.
TEST(ConsoleSessions, ANewTokenEndsTheSessionsOfTheOldOne) {
  fakeNow = 1'000'000;
  const std::string file = TempFile() + "-token";
  std::filesystem::remove(file);
  std::string id;
  {
    TConsoleSessions sessions(std::chrono::hours(1), file, "old-secret-token", FakeNow);
    id = sessions.Create()->Id;
  }
  std::string text((std::istreambuf_iterator<char>(std::ifstream(file).rdbuf())), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("old-secret-token"), std::string::npos);
  EXPECT_TRUE(TConsoleSessions(std::chrono::hours(1), file, "old-secret-token", FakeNow).Find(id));
  TConsoleSessions renewed(std::chrono::hours(1), file, "new-secret-token", FakeNow);
  EXPECT_FALSE(renewed.Find(id));
  EXPECT_EQ(renewed.Count(), 0u);
  EXPECT_FALSE(TConsoleSessions(std::chrono::hours(1), file, "old-secret-token", FakeNow).Find(id))
      << "the old token's sessions are gone from the file";
  // A file of sessions without the token line (an older server's, or
  // damaged) keeps none either.
  std::ofstream(file) << id << " " << std::string(64, 'a') << " " << fakeNow + 100 << "\n";
  EXPECT_FALSE(TConsoleSessions(std::chrono::hours(1), file, "old-secret-token", FakeNow).Find(id));
  std::filesystem::remove(file);
}

}  // namespace
