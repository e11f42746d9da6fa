// The download queue: one fixed-size record per accepted feed item, in a
// singly linked list that the run driver owns for the whole run.
#ifndef WAVELOT_EPISODE_H
#define WAVELOT_EPISODE_H

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr std::size_t title_max = 255;
constexpr std::size_t url_max = 1024;
constexpr std::size_t filename_field_max = 255;
constexpr std::size_t tags_max = 255;

// Longer names are shortened so that name, name.part and name.info all
// stay within the 255-byte name limit of common file systems.
constexpr std::size_t filename_max = 250;
// A final extension up to this length survives the shortening.
constexpr std::size_t extension_keep_max = 16;

struct episode {
    char title[title_max + 1];
    char url[url_max + 1];
    char filename[filename_field_max + 1];
    char tags[tags_max + 1];
    std::time_t date; // 0: the item had no usable date
    std::int32_t length;
    episode *next;
};

struct episode_list {
    episode *head;
    episode *tail;
    std::uint32_t count;
};

void episode_list_init(episode_list *list);

// Copies every text; returns the new episode, or null after a warning
// when the URL or the title does not fit.
episode *episode_list_append(episode_list *list, const char *title,
                             const char *url, std::int32_t length,
                             std::time_t date, const char *tags,
                             const char *filename);

void episode_list_free(episode_list *list);

#endif
