// Feed documents for the unit tests.
#ifndef WAVELOT_TESTS_FEED_TEXT_H
#define WAVELOT_TESTS_FEED_TEXT_H

#include <ctime>
#include <string>

inline std::string item(const std::string &inner)
{
    return "<item>" + inner + "</item>";
}

inline std::string rss(const std::string &items, const std::string &version = "2.0")
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"" + version +
           "\"><channel><title>t</title><link>http://h/</link><description>d</description>" +
           items + "</channel></rss>\n";
}

inline std::string enclosure(const std::string &url)
{
    return "<enclosure url=\"" + url + "\" length=\"5\" type=\"audio/mpeg\"/>";
}

inline std::string pubdate(std::time_t t)
{
    char text[64];
    std::strftime(text, sizeof text, "<pubDate>%a, %d %b %Y %H:%M:%S +0000</pubDate>",
                  std::gmtime(&t));
    return text;
}

#endif
