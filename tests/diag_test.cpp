#include "diag.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(put_terminal_text, escapes_control_characters_and_keeps_text)
{
    struct {
        std::string text, shown;
    } cases[] = {
        {"plain text, tab\tstays", "plain text, tab\tstays"},
        {"\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
        {"line\nfeed\rreturn\x7f", "line\\x0afeed\\x0dreturn\\x7f"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        // UTF-8 stays whole, even where a byte of it is in 0x80-0x9F.
        {"caf\xc3\xa9 \xc4\x9f \xe2\x82\xac \xf0\x9f\x8e\xa7", "caf\xc3\xa9 \xc4\x9f \xe2\x82\xac \xf0\x9f\x8e\xa7"},
        // Stray C1 bytes, and C1 controls written in UTF-8 (U+009B is CSI).
        {"a\x9b" "2Jb\x85", "a\\x9b2Jb\\x85"},
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},
        // Other bytes outside UTF-8 are not controls: they go as they are.
        {"latin-1 caf\xe9, cut \xe2\x82", "latin-1 caf\xe9, cut \xe2\\x82"},
        {"overlong \xc0\x9b, surrogate \xed\xa0\x80", "overlong \xc0\\x9b, surrogate \xed\xa0\\x80"},
    };
    for (const auto &c : cases) {
        char *shown = nullptr;
        std::size_t size = 0;
        std::FILE *out = open_memstream(&shown, &size);
        put_terminal_text(c.text, out);
        std::fclose(out);
        EXPECT_EQ(std::string(shown, size), c.shown) << c.shown;
        std::free(shown);
    }
}

} // namespace
