#include "episode.h"

#include "warning.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

struct queue_test : testing::Test {
    episode_list list;
    void SetUp() override { episode_list_init(&list); }
    void TearDown() override { episode_list_free(&list); }

    episode *append(const char *title, const std::string &url, const char *filename = "f.mp3")
    {
        return episode_list_append(&list, title, url.c_str(), 7, 1234, "a;b;", filename);
    }
};

TEST_F(queue_test, keeps_append_order_and_copies_every_text)
{
    char title[] = "first";
    char url[] = "http://h/1.mp3";
    char name[] = "1.mp3";
    episode *one = episode_list_append(&list, title, url, 42, 99, "news;", name);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(list.head, one);
    EXPECT_EQ(list.tail, one);
    std::memset(title, 'x', sizeof title - 1);
    std::memset(url, 'x', sizeof url - 1);
    std::memset(name, 'x', sizeof name - 1);
    EXPECT_STREQ(one->title, "first");
    EXPECT_STREQ(one->url, "http://h/1.mp3");
    EXPECT_STREQ(one->filename, "1.mp3");
    EXPECT_STREQ(one->tags, "news;");
    EXPECT_EQ(one->date, 99);
    EXPECT_EQ(one->length, 42);

    episode *two = append(nullptr, "http://h/2.mp3");
    episode *three = append("", "");
    ASSERT_NE(two, nullptr);
    ASSERT_NE(three, nullptr);
    EXPECT_STREQ(two->title, "");
    EXPECT_STREQ(three->url, "");
    EXPECT_EQ(list.head, one);
    EXPECT_EQ(one->next, two);
    EXPECT_EQ(two->next, three);
    EXPECT_EQ(three->next, nullptr);
    EXPECT_EQ(list.tail, three);
    EXPECT_EQ(list.count, 3u);
}

TEST_F(queue_test, url_and_title_limits)
{
    std::string url1024 = "http://h/" + std::string(1024 - 9, 'u');
    std::string title255(255, 't');
    ASSERT_NE(append(title255.c_str(), url1024), nullptr);
    EXPECT_STREQ(list.tail->url, url1024.c_str());
    EXPECT_STREQ(list.tail->title, title255.c_str());
    episode *tail = list.tail;

    struct {
        std::string title, url, warning;
    } rejected[] = {
        {"ok", url1024 + "u", "The URL string is too long : " + url1024 + "u"},
        {title255 + "t", url1024, "The title  string is too long : " + url1024},
        // Both too long: the URL test comes first and speaks alone.
        {title255 + "t", url1024 + "u", "The URL string is too long : " + url1024 + "u"},
    };
    for (const auto &r : rejected) {
        errno = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(append(r.title.c_str(), r.url), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), warning_line(r.warning));
        EXPECT_EQ(list.head->next, nullptr);
        EXPECT_EQ(list.tail, tail);
        EXPECT_EQ(list.count, 1u);
    }
}

TEST_F(queue_test, free_empties_and_queue_is_reusable)
{
    episode_list_free(&list); // empty queue: only the fields are reset
    EXPECT_EQ(list.head, nullptr);
    append("a", "http://h/a");
    append("b", "http://h/b");
    episode_list_free(&list);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0u);
    ASSERT_NE(append("c", "http://h/c"), nullptr);
    EXPECT_EQ(list.head, list.tail);
    EXPECT_EQ(list.count, 1u);
}

std::string repeat(const std::string &s, std::size_t times)
{
    std::string out;
    for (std::size_t i = 0; i < times; i++)
        out += s;
    return out;
}

TEST_F(queue_test, long_file_names_are_shortened_to_250_bytes)
{
    const std::string e = "\xc3\xa9";         // 2-byte sequence
    const std::string euro = "\xe2\x82\xac";  // 3-byte sequence
    struct {
        const char *what;
        std::string name, expected;
    } cases[] = {
        {"250 stays", std::string(246, 'a') + ".mp3", std::string(246, 'a') + ".mp3"},
        {"251 ascii keeps extension", std::string(247, 'a') + ".mp3",
         std::string(246, 'a') + ".mp3"},
        {"no extension", std::string(300, 'a'), std::string(250, 'a')},
        {"extension of 16 is kept", std::string(300, 'a') + "." + std::string(15, 'x'),
         std::string(234, 'a') + "." + std::string(15, 'x')},
        {"extension of 17 is not", std::string(300, 'a') + "." + std::string(16, 'x'),
         std::string(250, 'a')},
        // 2-byte letters: 246 / 2 = 123 whole letters fit before ".mp3".
        {"utf-8 2-byte", repeat(e, 200) + ".mp3", repeat(e, 123) + ".mp3"},
        // 3-byte signs: 246 / 3 = 82 whole signs.
        {"utf-8 3-byte", repeat(euro, 100) + ".mp3", repeat(euro, 82) + ".mp3"},
        // The cut at 250 would split a sign; it backs off to 248 bytes.
        {"utf-8 without extension", "aa" + repeat(euro, 100), "aa" + repeat(euro, 82)},
        {"only the last extension", std::string(260, 'a') + ".tar.gz",
         std::string(247, 'a') + ".gz"},
    };
    for (const auto &c : cases) {
        std::string url = "http://h/" + c.name;
        episode *ep = append("t", url, c.name.c_str());
        ASSERT_NE(ep, nullptr) << c.what;
        EXPECT_EQ(ep->filename, c.expected) << c.what;
        EXPECT_LE(std::strlen(ep->filename), 250u) << c.what;
        // The same name is cut the same way every time.
        EXPECT_STREQ(append("t", url, c.name.c_str())->filename, ep->filename) << c.what;
    }
}

} // namespace
