#include "wavelot.h"

#include "confine.h"
#include "diag.h"
#include "download.h"
#include "episode.h"
#include "feed.h"
#include "transfer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

std::int32_t write_info = 0; // declared with the downloader, which reads it

void print_usage()
{
    std::puts("usage: wavelot  -c podcastlist.cfg -o /some/directory -d <number> [-hilv]\n");
    std::puts(" Options :");
    std::puts(" -c podcastlist.cfg : A plain filename containing the list of podcasts");
    std::puts(" -o /some/directory : The target directory where the files will be saved");
    std::puts(" -l : Set the log to be written in syslog, otherwise log are written to stderr");
    std::puts(" -i : Add an additional  .info file with information about the podcast");
    std::puts(" -d <number> : Set the maximum number of days a podcast can have to be download");
    std::puts(" -v : Verbose mode for debug ");
    std::puts(" --version : Print the version number ");
    std::exit(1);
}

[[noreturn]] static void print_version()
{
    std::printf("wavelot %s, wrote by the wavelot developers\n", version_text);
    std::exit(0);
}

// The window reads the list ahead: pieces of at most 1023 bytes, so that a
// longer line reaches the scanner in parts. Fetches are started while the
// window has room and its documents leave bytes to spare; the first one is
// scanned as soon as it is done, so what is said and queued comes in list
// order exactly as if the feeds were fetched one after another.
void scan_list(std::FILE *list, episode_list *queue, std::int32_t max_days)
{
    feed_fetch window[fetch_window];
    int first = 0, count = 0;
    bool more = true;
    for (;;) {
        while (more && count < fetch_window && feed_bytes_behind() < feed_limits.window_bytes) {
            feed_fetch &next = window[(first + count) % fetch_window];
            if (std::fgets(next.line, sizeof next.line, list) == nullptr) {
                more = false;
                break;
            }
            cut_line_end(next.line);
            feed_fetch_start(&next, count == 0);
            count++;
        }
        if (count == 0)
            return;
        transfers_run(&window[first]);
        while (count > 0 && window[first].done) {
            feed_fetch &head = window[first];
            feed_document doc{head.error == 0 ? head.body : nullptr, head.size, head.error};
            scan_feed(head.line, doc, head.started, queue, max_days);
            feed_fetch_release(&head);
            first = (first + 1) % fetch_window;
            if (--count > 0)
                feed_fetch_lead(&window[first]);
        }
    }
}

int wavelot_main(int argc, char **argv)
{
    static const struct option long_options[] = {
        {"version", no_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char *list_path = nullptr;
    const char *target_dir = nullptr;
    std::int32_t max_days = 0;

    if (argc == 1)
        print_usage();

    int opt, index;
    while ((opt = getopt_long(argc, argv, "c:o:d:lhiv", long_options, &index)) != -1) {
        switch (opt) {
        case 'c':
            list_path = optarg;
            if (access(list_path, R_OK) != 0)
                err(1, "%s", list_path);
            break;
        case 'o':
            target_dir = optarg;
            if (access(target_dir, R_OK | W_OK) != 0)
                err(1, "%s", target_dir);
            break;
        case 'd':
            max_days = std::atoi(optarg);
            break;
        case 'l':
            use_syslog++;
            break;
        case 'i':
            write_info++;
            break;
        case 'v':
            verbose++;
            break;
        case 0:
            if (std::strcmp(long_options[index].name, "version") == 0)
                print_version();
            break;
        case 'h':
        default:
            print_usage();
        }
    }
    if (list_path == nullptr || target_dir == nullptr)
        print_usage();
    // Feeds are hostile input: from here on, writes only beneath -o.
    confine(target_dir);

    episode_list queue;
    episode_list_init(&queue);

    // The list stays open until the process ends.
    if (std::FILE *list = std::fopen(list_path, "r"))
        scan_list(list, &queue, max_days);

    for (const episode *ep = queue.head; ep != nullptr; ep = ep->next)
        download_episode(ep, target_dir);

    episode_list_free(&queue);
    return 0;
}

#ifndef WAVELOT_NO_MAIN
int main(int argc, char **argv)
{
    return wavelot_main(argc, argv);
}
#endif
