#include "feed.h"

#include "date.h"
#include "diag.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include <mrss.h>

namespace {

struct mrss_deleter {
    void operator()(mrss_t *feed) const { mrss_free(feed); }
};
using feed_ptr = std::unique_ptr<mrss_t, mrss_deleter>;

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

// libnxml's parser recurses once per element level with frames of some
// kilobytes: a feed of a few thousand nested elements overflows the stack
// and kills the run. Real feeds nest a dozen levels.
constexpr int nesting_max = 256;

// The deepest element nesting of a document, or more: a malformed tag
// counts as opened, so the estimate errs on the high side.
int nesting_depth(std::string_view doc)
{
    int depth = 0, deepest = 0;
    std::size_t at = 0;
    auto skip_past = [&](std::string_view end) {
        std::size_t found = doc.find(end, at);
        at = found == std::string_view::npos ? doc.size() : found + end.size();
    };
    while ((at = doc.find('<', at)) != std::string_view::npos) {
        std::string_view rest(doc.data() + at, doc.size() - at);
        auto starts = [&](std::string_view prefix) {
            return rest.size() >= prefix.size() &&
                   std::memcmp(rest.data(), prefix.data(), prefix.size()) == 0;
        };
        if (starts("<!--")) {
            skip_past("-->");
        } else if (starts("<![CDATA[")) {
            skip_past("]]>");
        } else if (starts("<?")) {
            skip_past("?>");
        } else if (starts("<!")) {
            skip_past(">");
        } else if (starts("</")) {
            depth--;
            skip_past(">");
        } else {
            // Find the tag's end outside quoted values; a '<' first means
            // the tag never ended.
            std::size_t i = 1;
            char quote = 0;
            for (; i < rest.size(); i++) {
                char c = rest[i];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>' || c == '<') {
                    break;
                }
            }
            bool self_closing = i < rest.size() && rest[i] == '>' && rest[i - 1] == '/';
            if (!self_closing && ++depth > deepest)
                deepest = depth;
            at += i < rest.size() && rest[i] == '>' ? i + 1 : i;
        }
    }
    return deepest;
}

constexpr std::int64_t seconds_per_day = 86400;

bool too_old(std::time_t now, std::time_t date, std::int32_t max_days)
{
    if (date == 0 || max_days == 0)
        return false;
    std::int64_t age = (static_cast<std::int64_t>(now) - static_cast<std::int64_t>(date)) /
                       seconds_per_day;
    return age > static_cast<std::int64_t>(max_days);
}

// An RSS 2.0 permalink guid is the item's web page, so the enclosure wins;
// the guid serves only items that carry no enclosure.
const char *download_url(const mrss_item_t *item)
{
    if (item->enclosure_url != nullptr && item->enclosure_url[0] != '\0')
        return item->enclosure_url;
    if (item->guid != nullptr && item->guid_isPermaLink != 0 && item->guid[0] != '\0')
        return item->guid;
    return nullptr;
}

// The text after the last '/' that is not the URL's first character, as a
// new string cut at its first '?'.
char *filename_from_url(const char *url)
{
    const char *start = url + 1;
    for (const char *slash; (slash = std::strchr(start, '/')) != nullptr;)
        start = slash + 1;
    char *name = strdup(start);
    if (name == nullptr)
        err(fatal_status(), "Memory allocation error");
    name[std::strcspn(name, "?")] = '\0';
    return name;
}

// Every category followed by ';' while there is room; at most 255 bytes.
void build_tags(const mrss_category_t *category, char (&tags)[tags_max + 1])
{
    std::memset(tags, 0, sizeof tags);
    std::size_t len = 0;
    for (; category != nullptr; category = category->next) {
        if (category->category == nullptr || category->category[0] == '\0')
            continue;
        std::string_view text(category->category);
        std::size_t room = len < tags_max - 1 ? tags_max - 1 - len : 0;
        std::size_t n = text.size() < room ? text.size() : room;
        std::memcpy(tags + len, text.data(), n);
        len += n;
        if (len < tags_max)
            tags[len++] = ';';
    }
}

void queue_item(const mrss_item_t *item, std::time_t date, episode_list *list)
{
    const char *url = download_url(item);
    if (url == nullptr) {
        warn("The item has no URL : %s", item->title ? item->title : "");
        return;
    }
    std::unique_ptr<char, free_deleter> filename(filename_from_url(url));
    char tags[tags_max + 1];
    build_tags(item->category, tags);
    debug("   - URL %s\n", url);
    episode_list_append(list, item->title, url, item->enclosure_length, date, tags,
                        filename.get());
}

} // namespace

char *cut_line_end(char *line)
{
    line[std::strcspn(line, "\r\n")] = '\0';
    return line;
}

int scan_feed(char *line, const feed_document &doc, std::time_t now, episode_list *list,
              std::int32_t max_days)
{
    cut_line_end(line);
    debug("Parse feed %s\n", line);

    if (doc.text == nullptr) {
        errno = doc.error;
        warn("%s ", mrss_strerror(MRSS_ERR_DOWNLOAD));
        return 1;
    }
    mrss_t *parsed = nullptr;
    mrss_error_t result = MRSS_ERR_PARSER;
    if (nesting_depth(std::string_view(doc.text, doc.size)) <= nesting_max)
        result = mrss_parse_buffer(const_cast<char *>(doc.text), doc.size, &parsed);
    feed_ptr feed(parsed);
    if (result != MRSS_OK) {
        errno = EBADMSG;
        warn("%s ", mrss_strerror(result));
        return 1;
    }

    queue_feed_items(feed.get(), line, now, list, max_days);
    return 1;
}

void queue_feed_items(const mrss_t *feed, const char *line, std::time_t now, episode_list *list,
                      std::int32_t max_days)
{
    for (const mrss_item_t *item = feed->item; item != nullptr; item = item->next) {
        if (feed->version != MRSS_VERSION_2_0) {
            warn("The RSS is not in V2 : %s\n", line);
            continue;
        }
        std::time_t date = rfc822_to_time(item->pubDate);
        if (too_old(now, date, max_days))
            continue;
        queue_item(item, date, list);
    }
}
