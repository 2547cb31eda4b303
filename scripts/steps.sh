# shellcheck shell=bash
# Sourced by the test scripts: their step headings, and the record of the
# tests that were skipped, listed with their reasons when a run ends.

# Prints a step heading.
step() { printf '\n== %s\n' "$*"; }

# start_test_reports FOLDER: FOLDER, emptied, collects the test reports of
# this run. A script started by another one keeps the folder of the first
# (INVOICE_TEST_REPORTS), so that the first lists the skipped tests of both.
start_test_reports() {
  if [ -n "${INVOICE_TEST_REPORTS:-}" ]; then
    owns_test_reports=0
    return
  fi
  owns_test_reports=1
  export INVOICE_TEST_REPORTS=$1
  rm -rf "$INVOICE_TEST_REPORTS"
  mkdir -p "$INVOICE_TEST_REPORTS"
}

# run_ctest NAME BUILD [CTEST ARGUMENT...]: ctest in BUILD, its report kept
# under NAME.
run_ctest() {
  local name=$1 build=$2
  shift 2
  (cd "$build" && ctest --output-on-failure --output-junit "$INVOICE_TEST_REPORTS/$name.ctest.xml" "$@")
}

# The GoogleTest option that keeps the report of a test binary run directly
# under NAME.
gtest_report() { echo "--gtest_output=xml:$INVOICE_TEST_REPORTS/$1.gtest.xml"; }

# Lists every skipped test of the reports with its reason, or says that none
# was skipped; only in the script that started the reports.
list_skipped_tests() {
  [ "$owns_test_reports" = 1 ] || return 0
  step "skipped tests"
  python3 - "$INVOICE_TEST_REPORTS" << 'EOF'
import glob, os, re, sys, xml.etree.ElementTree as ET

def reason_from_output(text):
    # GoogleTest prints "file:line: Skipped", the message, then "[  SKIPPED ]".
    match = re.search(r"^[^\n]*(?::\d+:|\(\d+\):) Skipped\n(.*?)\n\[  SKIPPED \]",
                      text or "", re.S | re.M)
    if match and match.group(1).strip():
        return " ".join(match.group(1).split())
    lines = [line for line in (text or "").splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no reason given"

count = 0
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.xml"))):
    run = os.path.basename(path).rsplit(".", 2)[0]
    for case in ET.parse(path).getroot().iter("testcase"):
        skipped = case.find("skipped")
        if path.endswith(".ctest.xml"):
            if case.get("status") != "notrun" and skipped is None:
                continue
            output = case.find("system-out")
            reason = reason_from_output(output.text if output is not None else "")
        else:
            if case.get("result") != "skipped" and skipped is None:
                continue
            message = skipped.get("message", "") if skipped is not None else ""
            # The message starts with the file and line of the skip.
            reason = " ".join(message.split("\n", 1)[-1].split()) or "no reason given"
            case.set("name", case.get("classname", "") + "." + case.get("name", ""))
        count += 1
        print(f"  [{run}] {case.get('name')}: {reason}")
print(f"{count} skipped" if count else "  none")
EOF
}
