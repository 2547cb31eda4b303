#include "platform/windows_path.h"

#include <gtest/gtest.h>

namespace invoice {
namespace {

TEST(WindowsPathTest, MakesEveryFormAnAbsoluteExtendedPath) {
  struct Case {
    const char* path;
    const char* current;
    const char* expected;
  };
  const Case kCases[] = {
      {"C:\\ROOT\\DOCUMENT", "D:\\work", "\\\\?\\C:\\ROOT\\DOCUMENT"},
      {"C:/ROOT//DOCUMENT/", "D:\\work", "\\\\?\\C:\\ROOT\\DOCUMENT"},
      {"C:\\", "D:\\work", "\\\\?\\C:\\"},
      {"C:\\a\\.\\b\\..\\c", "D:\\", "\\\\?\\C:\\a\\c"},
      {"C:\\..\\..\\a", "D:\\", "\\\\?\\C:\\a"},  // ".." never climbs above the root
      {"DOCUMENT\\a.xml", "D:\\work", "\\\\?\\D:\\work\\DOCUMENT\\a.xml"},
      {"..\\x", "D:\\work\\sub", "\\\\?\\D:\\work\\x"},
      {"", "D:\\work", "\\\\?\\D:\\work"},
      {"\\ROOT", "D:\\work", "\\\\?\\D:\\ROOT"},
      {"d:x", "D:\\work", "\\\\?\\D:\\work\\x"},  // drive-relative, same drive
      {"E:x", "D:\\work", "\\\\?\\E:\\x"},        // another drive starts at its root
      {"\\\\server\\share\\a/b", "D:\\", "\\\\?\\UNC\\server\\share\\a\\b"},
      {"\\\\server\\share", "D:\\", "\\\\?\\UNC\\server\\share\\"},
      {"x", "\\\\server\\share\\dir", "\\\\?\\UNC\\server\\share\\dir\\x"},
      {"\\x", "\\\\server\\share\\dir", "\\\\?\\UNC\\server\\share\\x"},
      {"x", "\\\\?\\C:\\long", "\\\\?\\C:\\long\\x"},
      // Names that are devices elsewhere stay file names in this namespace.
      {"C:\\d\\aux.xml", "D:\\", "\\\\?\\C:\\d\\aux.xml"},
      // Already extended, or a device: handed over as they are.
      {"\\\\?\\C:\\a/b\\..", "D:\\", "\\\\?\\C:\\a/b\\.."},
      {"\\\\.\\pipe\\x", "D:\\", "\\\\.\\pipe\\x"},
      // UTF-8 passes through untouched.
      {"C:\\factures\\Jos\xC3\xA9.xml", "D:\\", "\\\\?\\C:\\factures\\Jos\xC3\xA9.xml"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(make_extended_path(c.path, c.current), c.expected)
        << "path " << c.path << " in " << c.current;
  }
}

TEST(WindowsPathTest, TypedRootLosesItsQuotesAndTrailingBlanks) {
  const struct {
    const char* typed;
    const char* expected;
  } kCases[] = {
      {"C:\\ROOT\\", "C:\\ROOT\\"},
      {"C:\\ROOT\\ ", "C:\\ROOT\\"},   // set MORROOT=C:\ROOT\ in a batch file
      {"\"C:\\A B\\\"", "C:\\A B\\"},  // set MORROOT="C:\A B\"
      {"\"C:\\A B\\\"  ", "C:\\A B\\"},
      {"C:\\A B\"", "C:\\A B"},    // --root "C:\A B\" after the C runtime
      {"C:\\ROOT.", "C:\\ROOT."},  // left to the system's rules
      {"\"", ""},
      {"", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(strip_typed_quotes(c.typed), c.expected) << c.typed;
}

TEST(WindowsPathTest, OnlyUnpairedSurrogatesAreEscaped) {
  EXPECT_EQ(escape_unpaired_surrogates(u"Pe\xD800"
                                       u"a.XML"),
            "Pe\\uD800a.XML");
  EXPECT_EQ(escape_unpaired_surrogates(u"a\xDC00\xD83D"), "a\\uDC00\\uD83D");
  EXPECT_EQ(escape_unpaired_surrogates(u"Pe\xFFFD"
                                       u"a \xF1 \xD83D\xDE00"),
            "Pe\xEF\xBF\xBD"
            "a \xC3\xB1 \xF0\x9F\x98\x80");
}

TEST(WindowsPathTest, JoinsWithOneBackslash) {
  EXPECT_EQ(join_windows_path("C:\\ROOT", "DOCUMENT"), "C:\\ROOT\\DOCUMENT");
  EXPECT_EQ(join_windows_path("C:\\ROOT\\", "DOCUMENT"), "C:\\ROOT\\DOCUMENT");
  EXPECT_EQ(join_windows_path("C:/ROOT/", "a.xml"), "C:/ROOT/a.xml");
  EXPECT_EQ(join_windows_path("", "a.xml"), "a.xml");
}

}  // namespace
}  // namespace invoice
