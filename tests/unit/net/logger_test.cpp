// Control bytes in the log's shown text (stamps, priorities and file: test_service.py).
#include "net/log/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "net/log/escape.h"

namespace {

// Every control byte, and every byte of no valid UTF-8, becomes its escape unless kept; the
// bytes around it, UTF-8 too, stay.
TEST(Logger, ControlBytesAreShownEscaped) {
    struct Row {
        std::string text, keep, shown;
    };
    const Row rows[] = {
        {"a\x1b[2Jb", "", "a\\x1b[2Jb"},
        {"one\ntwo\r", "", "one\\x0atwo\\x0d"},
        {"one\ntwo\tx", "\n\t", "one\ntwo\tx"},
        {std::string("nul\0del\x7f", 8), "", "nul\\x00del\\x7f"},
        {"\x1f \x20~", "", "\\x1f  ~"},
        {"caf\xc3\xa9 \\x1b", "", "caf\xc3\xa9 \\x1b"},
        // A C1 control is one too (CSI, U+009B); U+00A0 and the last code point are not.
        {"\xc2\x9b"
         "2J\xc2\xa0\xf4\x8f\xbf\xbf",
         "", "\\xc2\\x9b2J\xc2\xa0\xf4\x8f\xbf\xbf"},
        // No UTF-8: a lone continuation, an overlong '/', a surrogate, past U+10FFFF, cut short.
        {"\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82", "",
         "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(netp::escapeControls(r.text, r.keep), r.shown) << r.shown;
    // A sequence its text cuts short is none, whatever follows in memory.
    const std::string euro = "\xe2\x82\xac";
    EXPECT_EQ(netp::escapeControls(std::string_view(euro).substr(0, 2)), "\\xe2\\x82");
}

TEST(Logger, ALineOfTheLogHoldsNoControlByteOfItsText) {
    char tmpl[] = "/tmp/l2pt-log-test-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    {
        netp::Logger log(netp::LogOptions{dir + "/log", false});
        log.info("event \x1b]0;owned\x07 from\nthe task");
    }
    std::ifstream in(dir + "/log");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove_all(dir);
    EXPECT_NE(text.find(" info: event \\x1b]0;owned\\x07 from\\x0athe task\n"), std::string::npos)
        << text;
}

}  // namespace
