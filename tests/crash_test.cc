// The built program killed with SIGKILL at random moments over a tree of
// invoices that all change: after every kill each invoice must hold exactly
// one of the texts it can go through (the original, the upgraded one, the
// final one), never a mixture or a cut, and a complete run must then finish
// the job. Scale it with INVOICE_CRASH_KILLS and INVOICE_CRASH_FILES; replay a
// failure with the seed it reports, through INVOICE_CRASH_SEED.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "encoding/convert_code_page.h"
#include "expected_output.h"
#include "platform/replacement_name.h"
#include "scratch.h"
#include "upgrade/upgrade_document.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;

constexpr long long kOriginalTime = 1'500'000'000;  // 2017-07-14, with a fraction below

long long environment_number(const char* name, long long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoll(value) : fallback;
}

// The three texts an invoice can hold: before the run, after the upgrade
// (still declared ibm850 when it was), after both steps.
struct Invoice {
  std::string path;
  std::string original;
  std::string upgraded;
  std::string final;
};

// A Facturae 3.0 invoice in the old program's shape, `lines` items long,
// whose names use the accented letters of code page 850.
std::string make_old_invoice(std::mt19937_64& random, bool code_page_850, std::size_t lines) {
  static const char* const kNames[] = {
      "Pe\xA4"
      "a",
      "Caf\x82",
      "Gar\x87on",
      "Jos\x82 \x80",
      "Mu\xA4oz",
      "\xD5 12,50",
      "L\x82on",
      "Ma\x8D"
      "ana"};
  std::string text = std::string("<?xml version=\"1.0\" encoding=\"") +
                     (code_page_850 ? "ibm850" : "UTF-8") +
                     "\"?>\r\n"
                     "<?xml-stylesheet type=\"text/xsl\" href=\"\\MORVEL\\XSL\\FACTURA.XSL\"?>\r\n"
                     "<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/2007/v3.0/"
                     "Facturae\">\r\n"
                     "<FileHeader><SchemaVersion>3.0</SchemaVersion></FileHeader>\r\n"
                     "<Parties><SellerParty><Telefax>93 000 00 00</Telefax>"
                     "<LanguageName>CAT</LanguageName></SellerParty>\r\n"
                     "<BuyerParty><Name>Ferreteria</Name></BuyerParty>\r\n"
                     "<Invoices><Invoice><Items>\r\n";
  for (std::size_t i = 0; i < lines; ++i) {
    text += "<InvoiceLine><ItemDescription>";
    text += kNames[random() % std::size(kNames)];
    text += ' ';
    text += std::to_string(random() % 100000);
    text += "</ItemDescription></InvoiceLine>\r\n";
  }
  return text + "</Items></Invoice></Invoices>\r\n</Parties>\r\n</fe:Facturae>\r\n";
}

class CrashTest : public ::testing::Test {
 protected:
  ScratchFolder root;
  ScratchFolder temp;
  ScratchFolder backup_parent;
  std::vector<Invoice> invoices;

  // Where every run keeps the originals.
  std::string backup() const { return backup_parent.path() + "/originals"; }
  std::string relative_path(const Invoice& invoice) const {
    return invoice.path.substr(root.path().size() + std::string("/DOCUMENT/").size());
  }
  std::uint64_t seed = 0;

  ProgramOptions options() const {
    ProgramOptions out;
    out.environment = testing::run_environment(root.path(), temp.path());
    // Groups hold a quarter of the descriptors the program may open: with
    // few, a run is several groups, and kills fall before, within and
    // between their flushes and renames.
    out.open_file_limit = 64;
    out.arguments = {"--backup", backup()};
    return out;
  }

  // Invoices of sizes from a few hundred bytes to a few MiB, so that a kill
  // often lands while one is being written. Most need both steps, some one.
  void make_tree(std::mt19937_64& random, std::size_t count) {
    const ReplacementTable table = testing::make_test_table();
    static const char* const kFolders[] = {"", "2019/", "2019/03/", "with blanks/", "\xC3\xA0rea/"};
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t kind = random() % 10;  // 0-6 both, 7-8 upgrade only, 9 code page only
      // Sizes spread evenly on a log scale, from 1 line (~300 bytes) to 2^15
      // lines (~2 MiB).
      const auto lines = static_cast<std::size_t>(1) << (random() % 16);
      Invoice invoice;
      invoice.original = make_old_invoice(random, kind != 7 && kind != 8, lines);
      if (kind == 9) {
        // Already 3.2.1, only declared ibm850.
        upgrade_document(invoice.original, table);
      }
      invoice.upgraded = invoice.original;
      upgrade_document(invoice.upgraded, table);
      invoice.final = invoice.upgraded;
      convert_code_page(invoice.final);
      EXPECT_NE(invoice.original, invoice.final);
      invoice.path = root.path() + "/DOCUMENT/" + kFolders[i % std::size(kFolders)] + "F" +
                     std::to_string(1000 + i) + (i % 3 == 0 ? ".XML" : ".xml");
      invoices.push_back(std::move(invoice));
    }
  }

  void write_originals() const {
    for (const Invoice& invoice : invoices) {
      root.write(invoice.path.substr(root.path().size() + 1), invoice.original);
      testing::set_times(invoice.path, kOriginalTime, 250'000'000);
    }
  }

  // How often an invoice was found holding its original, upgraded-only and
  // final text after a kill (an invoice that needs one step only counts as
  // final once written).
  std::array<long long, 3> states_seen{};

  // Checks every invoice after a kill; returns the leftover replacement
  // files that the folders hold.
  std::set<std::string> check_tree(const std::string& when) {
    const std::string manifest = fs::exists(backup() + "/MANIFEST.tsv")
                                     ? testing::read_file(backup() + "/MANIFEST.tsv")
                                     : std::string();
    for (const Invoice& invoice : invoices) {
      const std::string content = testing::read_file(invoice.path);
      // Converted text in place: its original is whole in the backup
      // folder, and recorded.
      if (content != invoice.original) {
        const std::string relative = relative_path(invoice);
        EXPECT_EQ(testing::read_file(backup() + "/" + relative), invoice.original)
            << when << ": the kept original of " << relative << "; seed " << seed;
        EXPECT_NE(manifest.find("\n" + relative + "\t"), std::string::npos)
            << when << ": no manifest line for " << relative;
      }
      const bool known =
          content == invoice.original || content == invoice.upgraded || content == invoice.final;
      ++states_seen[content == invoice.final ? 2 : content == invoice.original ? 0 : 1];
      EXPECT_TRUE(known) << when << ": " << invoice.path << " holds " << content.size()
                         << " bytes that are none of its three texts (" << invoice.original.size()
                         << ", " << invoice.upgraded.size() << ", " << invoice.final.size()
                         << "); seed " << seed;
      // Its last-write time survives too, to the second at least.
      EXPECT_EQ(testing::stat_of(invoice.path).st_mtim.tv_sec, kOriginalTime)
          << when << ": " << invoice.path;
    }
    std::set<std::string> leftovers;
    for (const std::string& relative : testing::list_tree(root.path())) {
      const fs::path path = fs::path(root.path()) / relative;
      if (fs::is_directory(fs::symlink_status(path))) continue;
      const std::string name = path.filename().string();
      if (is_replacement_name(name)) {
        leftovers.insert(path.string());
        continue;
      }
      const bool is_invoice =
          std::any_of(invoices.begin(), invoices.end(),
                      [&](const Invoice& invoice) { return invoice.path == path.string(); });
      EXPECT_TRUE(is_invoice) << when << ": a file appeared: " << relative;
    }
    return leftovers;
  }
};

TEST_F(CrashTest, EveryKillLeavesEachInvoiceWholeAndACompleteRunFinishes) {
  seed = static_cast<std::uint64_t>(
      environment_number("INVOICE_CRASH_SEED", static_cast<long long>(std::random_device()())));
  const auto kills_wanted = environment_number("INVOICE_CRASH_KILLS", 60);
  const auto files = static_cast<std::size_t>(environment_number("INVOICE_CRASH_FILES", 40));
  std::printf("crash test seed %llu (replay with INVOICE_CRASH_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 random(seed);
  make_tree(random, files);
  write_originals();

  // How long a whole run takes here (sanitized builds are slower); kills are
  // spread over that time.
  const auto started = std::chrono::steady_clock::now();
  const ProgramRun calibration = testing::run_program(options());
  const auto full_run = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(calibration.exit_status, 0) << calibration.errors;
  check_tree("after a complete run");
  for (const Invoice& invoice : invoices)
    ASSERT_EQ(testing::read_file(invoice.path), invoice.final);
  const auto full_run_us = std::chrono::duration_cast<std::chrono::microseconds>(full_run).count();
  write_originals();

  long long kills = 0, finished = 0, rounds = 1, leftovers_seen = 0, kills_with_leftover = 0;
  long long leftovers_removed = 0;
  std::set<std::string> leftovers;  // those the last kill left
  while (kills < kills_wanted) {
    // Invoices that are finished get their original text back once half of
    // the tree is finished, so that every kill finds work to interrupt. The
    // kill falls anywhere in the time that the work left should take.
    auto unfinished = std::count_if(invoices.begin(), invoices.end(), [](const Invoice& i) {
      return testing::read_file(i.path) != i.final;
    });
    if (unfinished * 2 < static_cast<long>(invoices.size())) {
      for (const Invoice& invoice : invoices) {
        if (testing::read_file(invoice.path) != invoice.final) continue;
        root.write(invoice.path.substr(root.path().size() + 1), invoice.original);
        testing::set_times(invoice.path, kOriginalTime, 250'000'000);
      }
      unfinished = static_cast<long>(invoices.size());
      ++rounds;
    }
    const long long window = std::max(
        5000LL, full_run_us * unfinished * 5 / 4 / static_cast<long long>(invoices.size()));
    const auto delay =
        std::chrono::microseconds(std::uniform_int_distribution<long long>(0, window)(random));
    testing::ProgramProcess program(options());
    std::this_thread::sleep_for(delay);
    program.send(SIGKILL);
    const ProgramRun run = program.wait();
    const bool killed = run.exit_status == 128 + SIGKILL;
    if (!killed) {
      ASSERT_EQ(run.exit_status, 0) << run.errors;
    }
    // A killed run leaves its file list in TEMP; nothing can tell it from
    // another program's file of the same form, so it stays there. The list
    // is written at the end of the walk (the whole of it fits in one
    // write), so a list that holds anything shows that the walk was done.
    bool walked = !killed;
    for (const std::string& name : testing::list_tree(temp.path())) {
      EXPECT_EQ(name.substr(name.size() - 4), ".TMP") << name;
      walked = walked || fs::file_size(fs::path(temp.path()) / name) > 0;
      fs::remove(fs::path(temp.path()) / name);
    }
    // A walk removes the leftovers of the runs killed before it.
    if (walked) {
      for (const std::string& path : leftovers) {
        EXPECT_FALSE(fs::exists(path)) << path << " was left by the run before";
      }
      leftovers_removed += static_cast<long long>(leftovers.size());
      leftovers.clear();
    }
    if (!killed) {
      ++finished;
      continue;
    }
    ++kills;
    const std::set<std::string> found = check_tree("kill " + std::to_string(kills) + " after " +
                                                   std::to_string(delay.count()) + " us");
    if (HasFailure()) return;
    const auto fresh = std::count_if(found.begin(), found.end(), [&](const std::string& path) {
      return leftovers.count(path) == 0;
    });
    leftovers_seen += fresh;
    kills_with_leftover += fresh > 0;
    leftovers = found;
  }

  // A complete run finishes every invoice, counts exactly what it did, and
  // removes the replacement files that the killed runs left behind. A
  // document already final is not written again.
  int upgrades = 0, conversions = 0;
  std::map<std::string, ino_t> final_already;
  const ReplacementTable table = testing::make_test_table();
  for (const Invoice& invoice : invoices) {
    std::string text = testing::read_file(invoice.path);
    if (text == invoice.final) final_already[invoice.path] = testing::stat_of(invoice.path).st_ino;
    upgrades += upgrade_document(text, table) == UpgradeOutcome::kUpgraded;
    conversions += convert_code_page(text) != CodePageOutcome::kUnchanged;
  }
  const auto changed = static_cast<long long>(invoices.size() - final_already.size());
  const ProgramRun last = testing::run_program(options());
  EXPECT_EQ(last.exit_status, 0) << last.errors;
  EXPECT_EQ(last.errors, "");
  EXPECT_EQ(last.output, testing::summary_lines(upgrades, conversions) +
                             (changed == 0 ? std::string()
                                           : std::string(kKeptSummaryHead) + backup() + ": " +
                                                 std::to_string(changed) + "\n"));
  const auto states_after_kills = states_seen;
  EXPECT_TRUE(check_tree("after the complete run").empty());
  for (const Invoice& invoice : invoices) {
    EXPECT_EQ(testing::read_file(invoice.path), invoice.final) << invoice.path;
    if (final_already.count(invoice.path) != 0) {
      EXPECT_EQ(testing::stat_of(invoice.path).st_ino, final_already[invoice.path])
          << invoice.path << " was written again";
    }
  }
  EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  // Whatever the kills interrupted, a restore puts every original back.
  ProgramOptions restore = options();
  restore.arguments = {"--restore", backup()};
  const ProgramRun restored = testing::run_program(restore);
  EXPECT_EQ(restored.exit_status, 0) << restored.errors;
  for (const Invoice& invoice : invoices) {
    EXPECT_EQ(testing::read_file(invoice.path), invoice.original) << invoice.path;
    EXPECT_EQ(testing::stat_of(invoice.path).st_mtim.tv_sec, kOriginalTime) << invoice.path;
  }

  std::printf(
      "%lld kills over %zu invoices in %lld rounds (%lld runs ended before their kill); "
      "%lld kills left a new leftover replacement file (%lld in all), %lld seen removed by the "
      "next run that walked the tree, the rest by the complete run; "
      "a whole run took %lld us; invoices found original %lld times, upgraded only %lld, "
      "final %lld\n",
      kills, invoices.size(), rounds, finished, kills_with_leftover, leftovers_seen,
      leftovers_removed, static_cast<long long>(full_run_us), states_after_kills[0],
      states_after_kills[1], states_after_kills[2]);
  RecordProperty("kills", std::to_string(kills));
  RecordProperty("leftovers", std::to_string(leftovers_seen));
}

// Leftover replacement files planted by hand: only those that are certainly a
// killed run's own go; everything else of that name or near it stays.
TEST(LeftoverTest, RemovesOnlyItsOwnUnlockedLeftovers) {
  ScratchFolder root;
  ScratchFolder temp;
  ScratchFolder elsewhere;
  const std::string leftover = ".invoice-converter.k1lled0run0x.tmp";
  const std::string document = root.path() + "/DOCUMENT";
  const std::string invoice =
      root.write("DOCUMENT/a.xml", "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n\x82\r\n");
  const std::string removed[] = {root.write("DOCUMENT/" + leftover, "half an invoice"),
                                 root.write("DOCUMENT/sub/" + leftover, "")};
  ::chmod(removed[1].c_str(), 0200);  // a write-only original's replacement

  std::vector<std::string> kept = {
      root.write("DOCUMENT/busy/" + leftover, "a run still writing"),
      root.write("DOCUMENT/linked/" + leftover + ".target", "a second name"),
      root.write("DOCUMENT/.invoice-converter.k1lled0run0X.tmp", "near miss"),
      root.write("DOCUMENT/.invoice-converter.k1lled0run0.tmp", "near miss"),
      root.write("DOCUMENT/invoice-converter.k1lled0run0x.tmp", "not hidden"),
      root.write("DOCUMENT/.hidden/" + leftover, "in a folder that is never entered"),
      root.write("OUTSIDE/" + leftover, "outside the tree"),
  };
  const std::string target = elsewhere.write("target", "the target of a link");
  fs::create_directories(document + "/link");
  fs::create_symlink(target, document + "/link/" + leftover);
  fs::create_hard_link(kept[1], document + "/linked/" + leftover);
  fs::create_directories(document + "/folder/" + leftover);
  fs::create_directories(document + "/fifo");
  ASSERT_EQ(::mkfifo((document + "/fifo/" + leftover).c_str(), 0600), 0);
  if (::geteuid() == 0) {
    kept.push_back(root.write("DOCUMENT/other/" + leftover, "another user's"));
    ASSERT_EQ(::chown(kept.back().c_str(), testing::kUnprivilegedUser, testing::kUnprivilegedGroup),
              0);
  }
  const int lock = ::open(kept[0].c_str(), O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);

  ProgramOptions options;
  options.environment = testing::run_environment(root.path(), temp.path());
  const ProgramRun run = testing::run_program(options);
  ::close(lock);
  EXPECT_EQ(run.exit_status, 0) << run.errors;  // a leftover that stays is no failure
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(testing::read_file(invoice),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\xC3\xA9\r\n");
  for (const std::string& path : removed) EXPECT_FALSE(fs::exists(path)) << path;
  for (const std::string& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_EQ(testing::read_file(kept[0]), "a run still writing");
  EXPECT_TRUE(fs::is_symlink(document + "/link/" + leftover));
  EXPECT_EQ(testing::read_file(target), "the target of a link");
  EXPECT_TRUE(fs::exists(document + "/linked/" + leftover));
  EXPECT_TRUE(fs::is_directory(document + "/folder/" + leftover));
  EXPECT_TRUE(fs::is_fifo(document + "/fifo/" + leftover));
}

}  // namespace
}  // namespace invoice
