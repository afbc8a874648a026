// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/ReadJournal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"

namespace kvitor::test {
namespace {

using ::testing::HasSubstr;

TFNDocumentRec Doc(int32_t number, bool confirmed) {
  TFNDocumentRec rec;
  rec.DocNumber = number;
  rec.DocType = 3;
  rec.DataLength = 100 + number;
  rec.TLVData = std::string(static_cast<std::size_t>(50 + number), static_cast<char>(number));
  if (confirmed) {
    rec.Ticket = {"ticket " + std::to_string(number), 46000.5 + number, "sign", number};
  }
  return rec;
}

const TJournalKey kKey{"9999078900012345", "0000000001012345", "abc"};

int Mode(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

TEST(ReadJournalTest, DocumentsSurviveReopeningAndATornTailIsCutBack) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926U);
  const TScratchDir dir;
  const auto folder = dir.Dir() / "state" / "kvitor";
  std::filesystem::path path;
  {
    TReadJournal journal(folder, kKey, false);
    path = journal.Path();
    journal.Append(Doc(1, true));
    journal.Append(Doc(2, false));
    journal.Append(Doc(3, true));
    journal.AppendTicket(2, Doc(2, true).Ticket);
  }
  EXPECT_EQ(Mode(folder), 0700);
  EXPECT_EQ(Mode(folder.parent_path()), 0700);
  EXPECT_EQ(Mode(path), 0600);
  const auto whole = std::filesystem::file_size(path);
  {
    // A record cut short, as by a power loss, and one whose bytes changed.
    std::ofstream(path, std::ios::app | std::ios::binary) << std::string("\x40\0\0\0\1\2", 6);
  }
  {
    TReadJournal journal(folder, kKey, false);
    EXPECT_EQ(std::filesystem::file_size(path), whole);
    EXPECT_EQ(journal.Count(), 3);
    EXPECT_EQ(journal.First(), 1);
    EXPECT_EQ(journal.Last(), 3);
    for (const int32_t n : {1, 2, 3}) {
      TFNDocumentRec got;
      ASSERT_TRUE(journal.Get(n, got));
      EXPECT_EQ(got, Doc(n, true));  // 2 with the confirmation that came later
    }
    TFNDocumentRec none;
    EXPECT_FALSE(journal.Get(4, none));
  }
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(whole) - 3);
    file.put('\x7F');  // inside the last record, the later confirmation
  }
  TReadJournal damaged(folder, kKey, false);
  EXPECT_LT(std::filesystem::file_size(path), whole);
  EXPECT_EQ(damaged.Count(), 3);
  TFNDocumentRec second;
  ASSERT_TRUE(damaged.Get(2, second));
  EXPECT_EQ(second, Doc(2, false));
}

TEST(ReadJournalTest, OnlyTheSameStorageReusesItsJournal) {
  const TScratchDir dir;
  const auto folder = dir.Dir();
  TJournalKey twin = kKey;  // another data file with the same serial number
  twin.Identity = "def";
  {
    TReadJournal journal(folder, kKey, false);
    journal.Append(Doc(1, true));
    journal.Append(Doc(2, true));
  }
  const auto mine = JournalPath(folder, kKey.Serial, kKey.Identity);
  const std::string before = ReadFile(mine);
  {
    TReadJournal other(folder, twin, false);
    EXPECT_EQ(other.Count(), 0);
    other.Append(Doc(7, true));
  }
  EXPECT_EQ(ReadFile(mine), before);
  EXPECT_EQ(JournaledInRange(folder, kKey.Serial, kKey.Identity, 2, 9), 1);
  EXPECT_EQ(JournaledInRange(folder, twin.Serial, twin.Identity, 1, 9), 1);
  EXPECT_EQ(JournaledInRange(folder, "0000000000000001", "", 1, 9), 0);

  const auto list = ListJournals(folder);
  ASSERT_EQ(list.size(), 2U);
  EXPECT_EQ(list[0].Key, kKey);
  EXPECT_EQ(list[0].Documents, 2);
  EXPECT_EQ(list[1].Key, twin);

  TJournalKey reregistered = kKey;
  reregistered.RegNumber = "0000000002000000";
  EXPECT_EQ(TReadJournal(folder, reregistered, false).Count(), 0);
  EXPECT_EQ(TReadJournal(folder, twin, true).Count(), 0);  // restart

  EXPECT_EQ(RemoveJournals(folder, "0000000000000001"), 0);
  EXPECT_EQ(RemoveJournals(folder, kKey.Serial), 2);
  EXPECT_TRUE(ListJournals(folder).empty());
}

// As an ordinary user (tests run as root here), with a file size limit
// standing for a full disk: the read stops with a clear message and the
// journal keeps its whole records.
TEST(ReadJournalTest, AFullDiskStopsTheJournalWithItsRecordsWhole) {
  const TScratchDir dir;
  constexpr uid_t kUser = 65534;
  const auto home = dir.Dir() / "home";
  std::filesystem::create_directories(home);
  ASSERT_EQ(::chown(home.c_str(), kUser, kUser), 0);
  const auto folder = home / ".local" / "state" / "kvitor";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(kUser) != 0 || ::setuid(kUser) != 0)) ::_exit(90);
    std::signal(SIGXFSZ, SIG_IGN);
    int32_t whole = 0;
    try {
      TReadJournal journal(folder, kKey, false);
      if (Mode(folder) != 0700 || Mode(journal.Path()) != 0600) ::_exit(91);
      const rlimit limit{20000, 20000};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      for (int32_t n = 1; n <= 1000; ++n) {
        journal.Append(Doc(n, true));
        journal.Flush();
        whole = n;
      }
      ::_exit(92);
    } catch (const Error& e) {
      if (std::string(e.what()).find("не записан") == std::string::npos) ::_exit(93);
    }
    const TReadJournal again(folder, kKey, false);
    ::_exit(again.Count() == whole && whole > 0 ? 0 : 94);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kvitor::test
