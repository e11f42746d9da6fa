#include "download.h"

#include "diag.h"
#include "transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large blocks: libcurl reads up to this much at once, and the part file's
// stream gathers the callback's 16 KiB pieces into writes this large, so a
// 1 GiB episode takes thousands of system calls, not hundreds of thousands.
constexpr long receive_buffer_bytes = 256 * 1024;
// One part file is open at a time, so one static buffer serves them all.
char part_buffer[256 * 1024];

struct curl_deleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using curl_ptr = std::unique_ptr<CURL, curl_deleter>;

// The part file: a descriptor that holds the run's lock on it, and a
// stream on a duplicate of it that takes the body. Closing the stream
// leaves the lock in place until the descriptor goes too.
struct part_file {
    int lock_fd = -1;
    std::FILE *stream = nullptr;

    part_file() = default;
    part_file(const part_file &) = delete;
    part_file &operator=(const part_file &) = delete;
    ~part_file()
    {
        if (stream != nullptr)
            std::fclose(stream);
        if (lock_fd >= 0)
            close(lock_fd);
    }
};

// Path and suffix; target_path_max leaves room for the suffix, so this
// never cuts.
void add_suffix(char (&out)[path_buffer_size], const char *path, std::size_t len,
                const char (&suffix)[6])
{
    std::memcpy(out, path, len);
    std::memcpy(out + len, suffix, sizeof suffix);
}

// The progress line, shown only when standard error is a terminal, so that
// what cron, pipes and files receive stays exactly the messages.
struct progress_line {
    const char *name;
    double started;
    double last_shown;
    bool shown;
};

double seconds_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int show_progress(void *user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t)
{
    auto *p = static_cast<progress_line *>(user);
    double t = seconds_now();
    if (p->shown && t - p->last_shown < 0.2 && !(total > 0 && now == total))
        return 0;
    p->last_shown = t;
    p->shown = true;
    double elapsed = t - p->started;
    double rate = elapsed > 0 ? static_cast<double>(now) / elapsed / 1024.0 : 0.0;
    std::fputs("\r\033[K", stderr);
    put_terminal_text(p->name, stderr); // a feed's name must not steer the terminal
    if (total > 0)
        std::fprintf(stderr, "  %lld of %lld bytes (%d%%)  %.1f KiB/s",
                     static_cast<long long>(now), static_cast<long long>(total),
                     static_cast<int>(now * 100 / total), rate);
    else
        std::fprintf(stderr, "  %lld bytes  %.1f KiB/s", static_cast<long long>(now), rate);
    return 0;
}

// Erases the line, so the messages that follow start on a clean one.
void end_progress(const progress_line &p)
{
    if (p.shown)
        std::fputs("\r\033[K", stderr);
}

// Every option of an episode transfer is set here, and in
// set_shared_options.
void set_episode_options(CURL *handle, const episode *ep, std::FILE *stream,
                         progress_line *progress)
{
    set_shared_options(handle);
    curl_easy_setopt(handle, CURLOPT_URL, ep->url);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_chunk);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, stream);
    // An error page is not an episode.
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    // A feed must not make us read local files or talk other protocols.
    allow_only_web(handle, true);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receive_buffer_bytes);
    if (progress != nullptr) {
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, show_progress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, progress);
    }
}

// False when another run holds the part file, or has just moved it into
// place: the path then names another file than the one we opened.
bool lock_part_file(int fd, const char *part_path)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno != EWOULDBLOCK; // file systems without locks: go on
    struct stat opened, named;
    if (fstat(fd, &opened) != 0 || stat(part_path, &named) != 0)
        return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Flushes, syncs and closes a stream; returns the first failure's errno,
// or 0 when everything is on disk.
int finish_stream(std::FILE *stream)
{
    int failure = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream))
        failure = errno != 0 ? errno : EIO;
    if (failure == 0 && fsync(fileno(stream)) != 0)
        failure = errno;
    if (std::fclose(stream) != 0 && failure == 0)
        failure = errno;
    return failure;
}

// The body stream, finished; errno says why when it failed.
bool close_body(part_file &part)
{
    int failure = finish_stream(part.stream);
    part.stream = nullptr;
    errno = failure;
    return failure == 0;
}

// asctime's layout; asctime itself gives up on years past 9999.
void format_date(std::time_t date, char (&text)[64])
{
    static const char weekdays[][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm local;
    if (localtime_r(&date, &local) == nullptr) {
        std::snprintf(text, sizeof text, "\n");
        return;
    }
    if (asctime_r(&local, text) != nullptr)
        return;
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %lld\n",
                  weekdays[local.tm_wday % 7], months[local.tm_mon % 12], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900LL);
}

// Written and synced before the episode is moved into place, so that an
// episode never stands without its whole info file; what could not be
// written whole is removed, and the episode then goes without one.
void write_info_file(const episode *ep, const char *target_path)
{
    char info_path[path_buffer_size];
    add_suffix(info_path, target_path, std::strlen(target_path), ".info");
    // A link planted under the info file's name is not followed: it could
    // name any file of the user's.
    int fd = open(info_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    std::FILE *info = fd >= 0 ? fdopen(fd, "w+") : nullptr;
    if (info == nullptr) {
        int saved = errno;
        if (fd >= 0) {
            close(fd);
            std::remove(info_path); // no empty info file beside the episode
        }
        errno = saved;
        warn("Can't create file %s\n", target_path);
        return;
    }
    char date_text[64];
    format_date(ep->date, date_text);
    int failure = 0;
    if (std::fprintf(info, "Filename : %s\nTitle : %s\nTags : %s\nDate : %s", ep->filename,
                     ep->title, ep->tags, date_text) < 0)
        failure = errno != 0 ? errno : EIO;
    int finished = finish_stream(info);
    if (failure == 0)
        failure = finished;
    if (failure != 0) {
        std::remove(info_path);
        errno = failure;
        warn("Can't write file : %s\n", info_path);
    }
}

} // namespace

std::size_t write_chunk(char *block, std::size_t size, std::size_t count, void *stream)
{
    return std::fwrite(block, size, count, static_cast<std::FILE *>(stream));
}

void download_episode(const episode *ep, const char *target_dir)
{
    char target_path[path_buffer_size];
    char part_path[path_buffer_size];

    int n = std::snprintf(target_path, sizeof target_path, "%s/%s", target_dir, ep->filename);
    if (n < 0 || static_cast<std::size_t>(n) > target_path_max)
        err(fatal_status(), "Filename is to long: %s\n", ep->filename);
    add_suffix(part_path, target_path, static_cast<std::size_t>(n), ".part");

    if (access(target_path, R_OK) == 0) {
        debug("skip file (exist) : %s\n", ep->url);
        return;
    }
    debug("downloading file : %s\n", ep->url);

    // Not truncated yet: another run may be writing it. Nor followed if it
    // is a link, which would have us empty whatever file it names.
    part_file part;
    part.lock_fd = open(part_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (part.lock_fd < 0)
        err(fatal_status(), "Can't create file : %s\n", part_path);
    if (!lock_part_file(part.lock_fd, part_path)) {
        debug("skip file (in progress) : %s\n", ep->url);
        return;
    }
    if (ftruncate(part.lock_fd, 0) != 0) {
        warn("Can't write file : %s\n", part_path);
        return;
    }
    int stream_fd = dup(part.lock_fd);
    if (stream_fd < 0 || (part.stream = fdopen(stream_fd, "w")) == nullptr) {
        if (stream_fd >= 0)
            close(stream_fd);
        err(fatal_status(), "Can't create file : %s\n", part_path);
    }
    std::setvbuf(part.stream, part_buffer, _IOFBF, sizeof part_buffer);

    progress_line progress{ep->filename, seconds_now(), 0.0, false};
    bool on_terminal = isatty(STDERR_FILENO) == 1;
    curl_ptr handle(curl_easy_init());
    CURLcode code = CURLE_FAILED_INIT;
    if (handle) {
        set_episode_options(handle.get(), ep, part.stream, on_terminal ? &progress : nullptr);
        code = transfer_perform(handle.get());
    }
    end_progress(progress);
    bool written = close_body(part);

    if (code != CURLE_OK) {
        warn("Error %d downloading file : %s", static_cast<int>(code), ep->url);
        return;
    }
    if (!written) {
        warn("Can't write file : %s\n", part_path);
        return;
    }
    if (write_info)
        write_info_file(ep, target_path);
    if (std::rename(part_path, target_path) != 0)
        warn("Can't rename file from %s to %s", part_path, target_path);
}
