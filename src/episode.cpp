#include "episode.h"

#include "diag.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

void episode_list_init(episode_list *list)
{
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
}

// Copies at most field_size - 1 bytes and always terminates.
static void copy_text(char *field, std::size_t field_size, std::string_view text)
{
    std::size_t n = text.size() < field_size ? text.size() : field_size - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

static bool is_utf8_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Cut position at or before `cut` that does not split a UTF-8 sequence.
// Sequences are at most four bytes, so we back off at most three; a longer
// run of continuation bytes is not UTF-8 and is cut where it stands.
static std::size_t utf8_boundary(std::string_view s, std::size_t cut)
{
    std::size_t c = cut;
    for (int back = 0; back < 3 && c > 0 && is_utf8_continuation(s[c]); back++)
        c--;
    return is_utf8_continuation(s[c]) ? cut : c;
}

// A name longer than filename_max keeps its extension (when short) and
// loses the end of the part before it. Deterministic, so a later run cuts
// the same URL to the same name and its skip test still finds the file.
static void store_filename(char *field, std::string_view name)
{
    if (name.size() <= filename_max) {
        copy_text(field, filename_field_max + 1, name);
        return;
    }
    std::string_view ext;
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && name.size() - dot <= extension_keep_max)
        ext = std::string_view(name.data() + dot, name.size() - dot);
    std::size_t stem = utf8_boundary(name, filename_max - ext.size());
    std::memcpy(field, name.data(), stem);
    if (!ext.empty())
        std::memcpy(field + stem, ext.data(), ext.size());
    field[stem + ext.size()] = '\0';
}

episode *episode_list_append(episode_list *list, const char *title,
                             const char *url, std::int32_t length,
                             std::time_t date, const char *tags,
                             const char *filename)
{
    std::string_view url_text(url);
    if (url_text.size() > url_max) {
        warn("The URL string is too long : %s", url);
        return nullptr;
    }
    std::string_view title_text(title ? title : "");
    if (title_text.size() > title_max) {
        warn("The title  string is too long : %s", url);
        return nullptr;
    }

    auto *ep = static_cast<episode *>(std::malloc(sizeof(episode)));
    if (ep == nullptr)
        err(fatal_status(), "Memory allocation error");

    ep->next = nullptr;
    ep->date = date;
    ep->length = length;
    copy_text(ep->url, sizeof ep->url, url_text);
    copy_text(ep->title, sizeof ep->title, title_text);
    // The tags are bounded by the scanner; the copy is bounded anyway.
    copy_text(ep->tags, sizeof ep->tags, tags);
    store_filename(ep->filename, filename);

    if (list->tail != nullptr)
        list->tail->next = ep;
    if (list->head == nullptr)
        list->head = ep;
    list->count++;
    list->tail = ep;
    return ep;
}

void episode_list_free(episode_list *list)
{
    episode *ep = list->head;
    while (ep != nullptr) {
        episode *next = ep->next;
        std::free(ep);
        ep = next;
    }
    episode_list_init(list);
}
