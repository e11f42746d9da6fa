#include "feed.h"

#include "feed_text.h"
#include "warning.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The scanner gets a fetched document and the list piece that named it.
struct scan_test : testing::Test {
    episode_list list;

    void SetUp() override { episode_list_init(&list); }
    void TearDown() override { episode_list_free(&list); }

    std::string url() const { return "http://h/feed.xml"; }

    // Scans `xml` with the list line `url() + line_end`; returns what was
    // said on standard error.
    std::string scan(const std::string &xml, std::int32_t max_days = 0,
                     const std::string &line_end = "\n")
    {
        char line[1024];
        std::snprintf(line, sizeof line, "%s%s", url().c_str(), line_end.c_str());
        feed_document doc{xml.data(), xml.size(), 0};
        testing::internal::CaptureStderr();
        EXPECT_EQ(scan_feed(line, doc, std::time(nullptr), &list, max_days), 1);
        return testing::internal::GetCapturedStderr();
    }

    std::vector<const episode *> queued() const
    {
        std::vector<const episode *> out;
        for (const episode *ep = list.head; ep != nullptr; ep = ep->next)
            out.push_back(ep);
        return out;
    }

    std::vector<std::string> queued_titles() const
    {
        std::vector<std::string> out;
        for (const episode *ep : queued())
            out.push_back(ep->title);
        return out;
    }
};

const char *const some_date = "<pubDate>Tue, 10 Jun 2003 04:00:00 GMT</pubDate>";

TEST_F(scan_test, queues_item_fields)
{
    std::string said = scan(rss(item("<title>One</title>" + std::string(some_date) +
                                     enclosure("http://h/a/one.mp3") +
                                     "<category>news</category><category>tech</category>") +
                                item(some_date + enclosure("http://h/two.mp3"))));
    EXPECT_EQ(said, "");
    auto eps = queued();
    ASSERT_EQ(eps.size(), 2u);
    EXPECT_STREQ(eps[0]->title, "One");
    EXPECT_STREQ(eps[0]->url, "http://h/a/one.mp3");
    EXPECT_STREQ(eps[0]->filename, "one.mp3");
    EXPECT_STREQ(eps[0]->tags, "news;tech;");
    EXPECT_EQ(eps[0]->date, 1055217600);
    EXPECT_EQ(eps[0]->length, 5);
    EXPECT_STREQ(eps[1]->title, ""); // no title
    EXPECT_STREQ(eps[1]->tags, "");
}

TEST_F(scan_test, file_names_cut_from_the_url)
{
    struct {
        const char *url, *name;
    } cases[] = {
        {"http://h/a/ep12.mp3?src=feed", "ep12.mp3"},
        {"http://h/a/ep12.mp3?next=/b/c.mp3", "c.mp3"}, // last '/' before the query cut
        {"http://h/a/ep12.mp3#t=10", "ep12.mp3#t=10"},
        {"http://h/a/%20x.mp3", "%20x.mp3"},
        {"http://h/a/dir/", ""},
        {"/x.mp3", "x.mp3"}, // the first character never counts as a '/'
        {"abc", "bc"},
        {"h", ""},
    };
    std::string items;
    for (const auto &c : cases)
        items += item(some_date + enclosure(c.url));
    scan(rss(items));
    auto eps = queued();
    ASSERT_EQ(eps.size(), std::size(cases));
    for (std::size_t i = 0; i < eps.size(); i++) {
        EXPECT_STREQ(eps[i]->url, cases[i].url);
        EXPECT_STREQ(eps[i]->filename, cases[i].name) << cases[i].url;
    }
}

TEST_F(scan_test, tags_text_limits)
{
    std::string c300(300, 'a'), c200(200, 'b'), c100(100, 'c');
    auto cats = [](std::vector<std::string> texts) {
        std::string out;
        for (const auto &t : texts)
            out += t == "<empty/>" ? "<category/>" : "<category>" + t + "</category>";
        return out;
    };
    struct {
        std::string categories, tags;
    } cases[] = {
        {cats({c300}), std::string(254, 'a') + ";"},
        {cats({c200, c100, "more"}), c200 + ";" + std::string(53, 'c') + ";"},
        {cats({"a", "<empty/>", "", "b"}), "a;b;"}, // a category without text adds nothing
        {"", ""},
    };
    std::string items;
    for (const auto &c : cases)
        items += item(some_date + enclosure("http://h/e.mp3") + c.categories);
    scan(rss(items));
    auto eps = queued();
    ASSERT_EQ(eps.size(), std::size(cases));
    for (std::size_t i = 0; i < eps.size(); i++)
        EXPECT_EQ(eps[i]->tags, cases[i].tags) << i;
}

TEST_F(scan_test, download_url_prefers_the_enclosure)
{
    const std::string page = "http://h/page.html";
    const std::string media = "http://h/media.mp3";
    std::string said = scan(rss(
        item("<title>enclosure only</title>" + std::string(some_date) + enclosure(media)) +
        item("<title>permalink only</title>" + std::string(some_date) +
             "<guid isPermaLink=\"true\">" + page + "</guid>") +
        item("<title>both</title>" + std::string(some_date) + "<guid isPermaLink=\"true\">" +
             page + "</guid>" + enclosure(media)) +
        item("<title>guid not a permalink</title>" + std::string(some_date) +
             "<guid isPermaLink=\"false\">" + page + "</guid>") +
        item("<title>empty enclosure</title>" + std::string(some_date) + enclosure("")) +
        item(some_date)));
    auto eps = queued();
    ASSERT_EQ(eps.size(), 3u);
    EXPECT_EQ(eps[0]->url, media);
    EXPECT_EQ(eps[1]->url, page);
    EXPECT_STREQ(eps[1]->filename, "page.html");
    EXPECT_EQ(eps[2]->url, media);
    EXPECT_TRUE(are_warnings(said, {"The item has no URL : guid not a permalink",
                                    "The item has no URL : empty enclosure",
                                    "The item has no URL : "}))
        << said;
}

TEST_F(scan_test, age_filter_in_whole_days)
{
    std::time_t now = std::time(nullptr);
    const std::time_t h = 3600;
    std::string feed = rss(item("<title>47h</title>" + pubdate(now - 47 * h) + enclosure("http://h/1")) +
                           item("<title>48h</title>" + pubdate(now - 48 * h) + enclosure("http://h/2")) +
                           item("<title>+10h</title>" + pubdate(now + 10 * h) + enclosure("http://h/3")) +
                           item("<title>+50h</title>" + pubdate(now + 50 * h) + enclosure("http://h/4")) +
                           item("<title>no date</title>" + enclosure("http://h/5")));
    struct {
        std::int32_t max_days;
        std::vector<std::string> titles;
    } cases[] = {
        {0, {"47h", "48h", "+10h", "+50h", "no date"}},
        {1, {"47h", "+10h", "+50h", "no date"}},
        {-1, {"+50h", "no date"}},
        {-3, {"no date"}},
    };
    for (const auto &c : cases) {
        // A dateless item is warned about whatever the limit.
        std::string said = scan(feed, c.max_days);
        EXPECT_TRUE(are_warnings(said, {"Invalide empty date"})) << said;
        EXPECT_EQ(queued_titles(), c.titles) << "-d " << c.max_days;
        episode_list_free(&list);
    }
}

TEST_F(scan_test, other_versions_warn_once_per_item_and_queue_nothing)
{
    std::string three = item("<title>a</title>" + enclosure("http://h/a")) +
                        item("<title>b</title>" + enclosure("http://h/b")) +
                        item("<title>c</title>" + enclosure("http://h/c"));
    std::string rdf = "<?xml version=\"1.0\"?><rdf:RDF "
                      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                      "xmlns=\"http://purl.org/rss/1.0/\"><channel rdf:about=\"http://h/\">"
                      "<title>t</title><link>http://h/</link><description>d</description>"
                      "</channel><item rdf:about=\"http://h/a\"><title>a</title><link>http://h/a</link></item>"
                      "<item rdf:about=\"http://h/b\"><title>b</title><link>http://h/b</link></item>"
                      "<item rdf:about=\"http://h/c\"><title>c</title><link>http://h/c</link></item>"
                      "</rdf:RDF>\n";
    std::string atom = "<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\">"
                       "<title>t</title><id>urn:x</id><updated>2003-06-10T04:00:00Z</updated>"
                       "<entry><title>a</title><id>urn:a</id><updated>2003-06-10T04:00:00Z</updated></entry>"
                       "<entry><title>b</title><id>urn:b</id><updated>2003-06-10T04:00:00Z</updated></entry>"
                       "<entry><title>c</title><id>urn:c</id><updated>2003-06-10T04:00:00Z</updated></entry>"
                       "</feed>\n";
    std::string v2 = "The RSS is not in V2 : " + url() + "\n";
    struct {
        const char *what;
        std::string xml;
        int warnings;
    } cases[] = {
        {"0.91", rss(three, "0.91"), 3}, {"0.92", rss(three, "0.92"), 3},
        {"1.0", rdf, 3},                 {"atom", atom, 3},
        {"0.92 without items", rss("", "0.92"), 0},
    };
    for (const auto &c : cases) {
        std::string said = scan(c.xml);
        if (c.warnings == 0)
            EXPECT_EQ(said, "") << c.what;
        else
            EXPECT_TRUE(are_warnings(said, {v2, v2, v2})) << c.what << said;
        EXPECT_EQ(list.head, nullptr) << c.what;
    }
}

TEST_F(scan_test, line_is_cut_at_its_first_cr_or_lf)
{
    std::string feed = rss(item(some_date + enclosure("http://h/e.mp3")));
    for (const char *end : {"\r\n", "\n", "", "\rtrailing junk\n", "\ntrailing junk"}) {
        EXPECT_EQ(scan(feed, 0, end), "") << end;
        EXPECT_EQ(list.count, 1u) << end;
        episode_list_free(&list);
    }
}

TEST_F(scan_test, feed_that_was_not_fetched_or_does_not_parse)
{
    std::string said = scan("this is not XML at all");
    EXPECT_EQ(said, warning_line("Parser error ", EBADMSG));
    EXPECT_EQ(list.head, nullptr);

    // A failed fetch says why through the error number it left.
    char line[] = "http://h/gone.xml\n";
    testing::internal::CaptureStderr();
    scan_feed(line, feed_document{nullptr, 0, ETIMEDOUT}, std::time(nullptr), &list, 0);
    said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, warning_line("Download error ", ETIMEDOUT));
    EXPECT_STREQ(line, "http://h/gone.xml");
}

// libnxml would recurse through every level and overflow the stack.
TEST_F(scan_test, deeply_nested_documents_are_refused)
{
    std::string item_xml = item(some_date + enclosure("http://h/e.mp3"));
    auto nested = [&](int levels) {
        std::string open, close;
        for (int i = 0; i < levels; i++) {
            open += "<x a=\"<>\">";
            close += "</x>";
        }
        return rss(open + close + item_xml);
    };
    std::string said = scan(nested(100000));
    EXPECT_EQ(said, warning_line("Parser error ", EBADMSG));
    EXPECT_EQ(list.head, nullptr);

    // A feed of ordinary depth, with markup in CDATA and comments, is read.
    said = scan(nested(200) + "<!-- <a><a><a> --><![CDATA[<b><b><b>]]>");
    EXPECT_EQ(said, "");
    EXPECT_EQ(list.count, 1u);
}

} // namespace
