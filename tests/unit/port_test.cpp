#include <gtest/gtest.h>

#include "orvi_port.h"
#include "scratch_root.h"

TEST(Port, ShellQuoteKeepsEveryCharacterLiteral) {
    ScratchRoot root;
    for (std::string word : {"plain", "it's", "a b;rm -rf /", "$(reboot)", "`id`", "\"q\"\\", ""}) {
        std::string out;
        orvi_run_opts o;
        o.out = &out;
        ASSERT_EQ(0, orvi_port_run_shell("printf %s " + orvi_shell_quote(word), o));
        EXPECT_EQ(word, out);
    }
}

TEST(Port, RunnerReportsExitStatusAndTimesOut) {
    ScratchRoot root;
    EXPECT_EQ(3, orvi_port_run_shell("exit 3"));
    EXPECT_EQ(-1, orvi_port_run_argv({"/nonexistent/tool"}));
    orvi_run_opts o;
    o.timeout_ms = 200;
    EXPECT_GE(orvi_port_run_shell("sleep 10", o), 128);
}

TEST(Port, AtomicWriteReplacesWhole) {
    ScratchRoot root;
    std::string p = root.path("/tmp/f");
    ASSERT_TRUE(orvi_port_write_atomic(p, "one"));
    ASSERT_TRUE(orvi_port_write_atomic(p, "two"));
    std::string s;
    ASSERT_TRUE(orvi_port_read(p, s));
    EXPECT_EQ("two", s);
}
