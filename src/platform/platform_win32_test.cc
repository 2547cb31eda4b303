// What the Windows platform promises beyond the shared contract: the
// attributes and names of Windows, sharing modes as the lock, and the three
// times. Windows only; run under Wine in CI, which differs from Windows in
// a few points that the checks name.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "file_times.h"
#include "platform/platform.h"
#include "platform/windows_path.h"
#include "status_printer.h"
#include "system_place.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;

bool running_under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring wide(const std::string& utf8) {
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

// The \\?\ form of a path, as the test's own calls need it for long paths.
std::wstring extended(const std::string& path) { return wide(make_extended_path(path, "C:\\")); }

class PlatformWin32Test : public ::testing::Test {
 protected:
  // Before the place removes what is left: entries the tests gave the
  // hidden, system or read-only attribute, and paths too long for the
  // standard library, go through the \\?\ form.
  ~PlatformWin32Test() override {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      ::SetFileAttributesW(extended(it->path().string()).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(fs::path(extended(root_)), ignored);
  }

  std::string path(const std::string& name) const { return join_windows_path(root_, name); }

  // Writes a file through the \\?\ form, so any name and length works.
  void write(const std::string& path, const std::string& content) const {
    const HANDLE file = ::CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD wrote = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr);
    ::CloseHandle(file);
  }
  std::string read(const std::string& path) const {
    std::ifstream in(fs::path(extended(path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Stages `content`, flushes it and puts it in place, as a run does.
  Status replace(InvoiceFile& file, const std::string& content) {
    if (Status staged = file.stage(content); !staged.is_ok()) return staged;
    if (Status flushed = platform_->flush_staged({&file}); !flushed.is_ok()) return flushed;
    return file.put_staged_in_place();
  }

  // Opens, loads and replaces one invoice.
  Status convert(const std::string& path, const std::string& content) {
    auto opened = platform_->open_invoice_file(path);
    if (!opened.is_ok()) return opened.status;
    std::string old;
    if (Status loaded = opened.value->load(old); !loaded.is_ok()) return loaded;
    return replace(*opened.value, content);
  }

  testing::SystemPlace place_;
  Platform* const platform_ = &place_.platform();
  const std::string root_ = place_.root();
};

TEST_F(PlatformWin32Test, HiddenAndSystemEntriesAreNotListed) {
  write(path("shown.xml"), "");
  for (const char* name : {"hidden.xml", "system.xml", "hidden-folder"}) {
    if (std::string(name) == "hidden-folder") {
      fs::create_directory(path(name));
    } else {
      write(path(name), "");
    }
    const DWORD attribute =
        std::string(name) == "system.xml" ? FILE_ATTRIBUTE_SYSTEM : FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(::SetFileAttributesW(extended(path(name)).c_str(), attribute));
  }
  // A hidden name that begins with "." is left to the caller, which knows
  // its own replacement files among such names (Wine hides them all).
  write(path(".dot.xml"), "");
  ASSERT_TRUE(::SetFileAttributesW(extended(path(".dot.xml")).c_str(), FILE_ATTRIBUTE_HIDDEN));
  auto listed = platform_->list_directory(root_);
  ASSERT_TRUE(listed.is_ok()) << listed.status;
  std::vector<std::string> names;
  for (const DirectoryEntry& entry : listed.value) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".dot.xml", "shown.xml"}));
}

TEST_F(PlatformWin32Test, DeviceNamesAndLongPathsAreOrdinaryFiles) {
  std::string deep = root_;
  for (int i = 0; i < 6; ++i) {
    deep = join_windows_path(deep, std::string(50, static_cast<char>('a' + i)));
    ASSERT_TRUE(::CreateDirectoryW(extended(deep).c_str(), nullptr));
  }
  const std::string cases[] = {path("aux.xml"), path("con.xml"), path("nul"),
                               join_windows_path(deep, "factura-\xC3\xA7.xml")};
  ASSERT_GT(cases[3].size(), 260u);
  for (const std::string& invoice : cases) {
    write(invoice, "old");
    const Status converted = convert(invoice, "new");
    EXPECT_TRUE(converted.is_ok()) << invoice << ": " << converted;
    EXPECT_EQ(read(invoice), "new") << invoice;
  }
}

TEST_F(PlatformWin32Test, OpenInvoiceKeepsOtherProgramsOutUntilClosed) {
  const std::string invoice = path("a.xml");
  write(invoice, "<a/>");
  auto opened = platform_->open_invoice_file(invoice);
  ASSERT_TRUE(opened.is_ok()) << opened.status;
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    const HANDLE other = ::CreateFileW(extended(invoice).c_str(), access,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "access " << access;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  }
  opened.value.reset();
  // A program that holds the invoice with any access keeps the run out.
  const HANDLE reader = ::CreateFileW(extended(invoice).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform_->open_invoice_file(invoice).status.kind(), Status::Kind::kLocked);
  ::CloseHandle(reader);
}

TEST_F(PlatformWin32Test, ReplacementOfAFileRenamedMeanwhileIsAbandoned) {
  const std::string invoice = path("a.xml");
  write(invoice, "old");
  auto opened = platform_->open_invoice_file(invoice);
  ASSERT_TRUE(opened.is_ok()) << opened.status;
  std::string content;
  ASSERT_TRUE(opened.value->load(content).is_ok());
  // Deletion sharing lets another program move the invoice away and put
  // its own file in its place; that file is then left as it is.
  ASSERT_TRUE(::MoveFileW(extended(invoice).c_str(), extended(path("moved.xml")).c_str()));
  write(invoice, "theirs");
  EXPECT_EQ(replace(*opened.value, "new").kind(), Status::Kind::kChanged);
  opened.value.reset();
  EXPECT_EQ(read(invoice), "theirs");
  EXPECT_EQ(read(path("moved.xml")), "old");
  auto listed = platform_->list_directory(root_);
  EXPECT_EQ(listed.value.size(), 2u) << "no replacement file is left";
}

TEST_F(PlatformWin32Test, FileListMovedAsideIsStillReadAndRemovedOnlyAsItself) {
  const std::string list = path("815.TMP");
  auto created = platform_->create_new_file(list);
  ASSERT_TRUE(created.is_ok()) << created.status;
  ASSERT_TRUE(created.value->write("ours").is_ok());
  // Deletion sharing lets another program move the list and put its own
  // file under the name; neither is then read or removed as the list.
  ASSERT_TRUE(::MoveFileW(extended(list).c_str(), extended(path("moved.TMP")).c_str()));
  write(list, "theirs");
  auto input = created.value->read_back();
  ASSERT_TRUE(input.is_ok()) << input.status;
  char buffer[16];
  auto got = input.value->read(buffer, sizeof buffer);
  ASSERT_TRUE(got.is_ok());
  EXPECT_EQ(std::string(buffer, got.value), "ours");
  input.value.reset();
  EXPECT_EQ(created.value->remove().kind(), Status::Kind::kChanged);
  created.value.reset();
  EXPECT_EQ(read(list), "theirs");
}

// Roots as batch files and the C runtime hand them over.
TEST_F(PlatformWin32Test, TypedRootIsNormalisedAsWindowsDoes) {
  const std::string folder = root_ + "\\";
  const struct {
    std::string typed, expected;
  } cases[] = {
      {root_ + "\\ ", folder},         // set MORROOT=C:\ROOT\ (a trailing blank)
      {root_ + ".", root_},            // set MORROOT=C:\ROOT.
      {"\"" + folder + "\"", folder},  // set MORROOT="C:\A B\"
      {root_ + "\"", root_},           // --root "C:\A B\" after the C runtime
      {root_ + "\\.\\sub\\..", root_},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform_->normalize_root(c.typed), c.expected) << c.typed;
  }
}

// The creation time is the one file time that only Windows lets a program
// set: a replacement carries the given one, or else the original's.
TEST_F(PlatformWin32Test, StagedFileGetsTheGivenCreationTimeOrTheOriginals) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine keeps no creation time of its own: it reads back the last-write time";
  }
  const FileTime original{1'500'000'000, 0};
  const FileTime given{1'200'000'000, 500'000'000};
  const struct {
    const char* name;
    std::optional<FileTime> creation;
    FileTime expected;
  } cases[] = {{"given", given, given}, {"not given", std::nullopt, original}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string invoice = path(std::string(c.name) + ".xml");
    write(invoice, "<a/>");
    ASSERT_TRUE(testing::set_file_times(invoice, original));
    {
      auto opened = platform_->open_invoice_file(invoice);
      ASSERT_TRUE(opened.is_ok()) << opened.status;
      std::string content;
      ASSERT_TRUE(opened.value->load(content).is_ok());
      ASSERT_TRUE(opened.value->stage_with_times("<b/>", {original, original, c.creation}).is_ok());
      ASSERT_TRUE(platform_->flush_staged({opened.value.get()}).is_ok());
      ASSERT_TRUE(opened.value->put_staged_in_place().is_ok());
    }
    EXPECT_EQ(testing::read_file_times(invoice).created, c.expected);
  }
}

// A kept copy carries the creation time too, which Windows lets programs set.
TEST_F(PlatformWin32Test, KeptCopyCarriesTheCreationTime) {
  const std::string invoice = path("a.xml");
  const std::string backup = path("backup");
  write(invoice, "<a/>");
  ASSERT_TRUE(platform_->create_private_folder(backup).is_ok());
  // Created long before it was last written.
  const FileTime created{1'000'000'000, 0};
  ASSERT_TRUE(testing::set_file_times(invoice, created));
  const HANDLE file = ::CreateFileW(extended(invoice).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME written{};
  ::GetSystemTimeAsFileTime(&written);
  ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &written));
  ::CloseHandle(file);
  {
    auto opened = platform_->open_invoice_file(invoice);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    std::string content;
    ASSERT_TRUE(opened.value->load(content).is_ok());
    auto copy = opened.value->copy_original(backup, content);
    ASSERT_TRUE(copy.is_ok()) << copy.status;
    ASSERT_TRUE(platform_->flush_kept_copies({copy.value.get()}).is_ok());
    ASSERT_TRUE(copy.value->give_name("a.xml").is_ok());
  }
  auto kept = platform_->open_input_file(join_windows_path(backup, "a.xml"));
  ASSERT_TRUE(kept.is_ok()) << kept.status;
  const auto times = kept.value->times();
  ASSERT_TRUE(times.is_ok()) << times.status;
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine keeps no creation time of its own: the creation time is not checked";
  }
  EXPECT_EQ(times.value.creation, created);
}

// The backup folder's access list: protected from what the folder above
// passes on, one entry for the running user, passed on to what is made in it.
TEST_F(PlatformWin32Test, PrivateFolderGrantsTheRunningUserAloneAndPassesItOn) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine derives access lists from Unix permission bits: not checked";
  }
  const std::string folder = path("kept");
  ASSERT_TRUE(platform_->create_private_folder(folder).is_ok());
  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  std::string user(256, '\0');
  DWORD size = 0;
  const bool got_user =
      ::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
  ::CloseHandle(token);
  ASSERT_TRUE(got_user);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(
      ::GetNamedSecurityInfoW(extended(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor),
      static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  ACCESS_ALLOWED_ACE* entry = nullptr;
  ASSERT_TRUE(::GetAce(dacl, 0, reinterpret_cast<void**>(&entry)));
  EXPECT_EQ(entry->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(entry->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  EXPECT_TRUE(::EqualSid(&entry->SidStart, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
  ::LocalFree(descriptor);
}

TEST_F(PlatformWin32Test, LiesWithinIgnoresLetterCase) {
  fs::create_directories(fs::path(extended(path("Kept\\Sub"))));
  const auto within = platform_->lies_within(path("KEPT\\sub\\new"), path("kept"));
  ASSERT_TRUE(within.is_ok()) << within.status;
  EXPECT_TRUE(within.value);
}

}  // namespace
}  // namespace invoice
