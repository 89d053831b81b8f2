// ecrcli explain's log reader on hostile input (binary junk, endless lines,
// broken dumps, a file cut mid-line): it reads what it can, says what it
// could not, keeps its bounds and never stops.  The verdicts themselves are
// checked against the fault matrix's own logs (outcome_explain.cmake).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ecrcli/explain.h"

namespace {

const std::string kRecord = "08/12/2026 18:37:54 [LOG_INFO>  ] [StartTransaction:84]  Tran name[PUR] Tran code[1]\n";
const std::string kHeader = "HEX DUMP: Buffer address = 0x7F00, size = ";

struct Hostile {
    const char* name;
    std::string input;
    uint64_t unreadable, cut_lines, broken_dumps;
    bool ends_mid_line;
    size_t operations;
};

std::vector<Hostile> cases()
{
    std::string junk(4096, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 131) ^ (i >> 3));
    junk += '\n';  // (no byte of it is a line end: one unreadable line)
    for (char& c : junk)
        if (c == '\n' && &c != &junk.back())
            c = 'x';
    return {
        {"binary_junk", junk, 1, 0, 0, false, 0},
        {"megabyte_lines", kRecord + std::string(3 << 20, 'A') + "\n" + std::string(1 << 20, '7') + "\n", 2, 2, 0, false, 1},
        // A dump that announces four thousand million bytes and lists three.
        {"broken_dump", kRecord + kHeader + "4000000000, function: [Received from terminal]\n\n000 | 50 55 52\n" + kRecord,
         0, 0, 1, false, 2},
        {"dump_cut_mid_line", kRecord + kHeader + "69, function: [SEND TO TERMINAL]\n\n000 | 02 50 55 52 31 30 2E", 0, 0, 1, true, 1},
        {"header_without_size", kRecord + "HEX DUMP: Buffer address = 0x1, function: [SEND TO TERMINAL]\n", 1, 0, 0, false, 1},
    };
}

class HostileLog : public ::testing::TestWithParam<size_t> {};

TEST_P(HostileLog, ReadsWhatItCanAndSaysWhatNot)
{
    const Hostile h = cases()[GetParam()];
    std::vector<ecrcli::ExplainedOperation> ops;
    ecrcli::Explainer ex([&](ecrcli::ExplainedOperation&& op) { ops.push_back(std::move(op)); });
    ecrcli::LogScanner scanner([&](const ecrcli::LogItem& it) { ex.item(it); });
    // Fed a few bytes at a time: lines and dumps cross every read.
    for (size_t at = 0; at < h.input.size(); at += 7)
        scanner.feed(h.input.data() + at, std::min<size_t>(7, h.input.size() - at));
    scanner.finish();
    ex.finish();
    const ecrcli::ReadStats& st = scanner.stats();
    EXPECT_EQ(st.bytes, h.input.size());
    EXPECT_EQ(st.unreadable, h.unreadable);
    EXPECT_EQ(st.cut_lines, h.cut_lines);
    EXPECT_EQ(st.broken_dumps, h.broken_dumps);
    EXPECT_EQ(st.ends_mid_line, h.ends_mid_line);
    ASSERT_EQ(ops.size(), h.operations);
    for (const ecrcli::ExplainedOperation& op : ops) {
        EXPECT_EQ(op.status, "unknown") << op.verdict;  // none of them shows a whole payment
        EXPECT_LE(op.events.size(), ecrcli::Explainer::kMaxEvents);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileLog, ::testing::Range<size_t>(0, cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& i) { return std::string(cases()[i.param].name); });

TEST(ExplainCommand, UsageErrorsExitTwo)
{
    EXPECT_EQ(ecrcli::explain_main({}), 2);
    EXPECT_EQ(ecrcli::explain_main({"--since", "yesterday", "x.log"}), 2);
    EXPECT_EQ(ecrcli::explain_main({"/nonexistent/ecr.log"}), 2);
}

}  // namespace
