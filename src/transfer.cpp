#include "transfer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

transfer_limits shared_limits = {
    30, // connect timeout
    1,  // below 1 byte/s ...
    60, // ... for 60 s
    20, // redirects
};

feed_fetch_limits feed_limits = {
    300,       // the whole fetch
    64 << 20,  // a document: the largest real feeds are a few MiB
    64 << 20,  // documents waiting behind the first one
};

std::size_t feed_bytes_behind_peak = 0;

namespace {

// The run's multi handle: its connection cache and name cache serve every
// transfer, so a host that serves several feeds or episodes is connected
// to once. TLS sessions are shared too, so a new connection resumes one.
struct run_transfers {
    CURLM *multi = nullptr;
    CURLSH *share = nullptr;
    ~run_transfers()
    {
        if (multi != nullptr)
            curl_multi_cleanup(multi);
        if (share != nullptr)
            curl_share_cleanup(share);
    }
};

run_transfers run;
bool made = false;

run_transfers &transfers()
{
    if (!made) {
        made = true;
        curl_global_init(CURL_GLOBAL_DEFAULT);
        run.multi = curl_multi_init();
        if (run.multi != nullptr) {
            curl_multi_setopt(run.multi, CURLMOPT_MAX_HOST_CONNECTIONS, connections_per_host);
            curl_multi_setopt(run.multi, CURLMOPT_PIPELINING, long{CURLPIPE_MULTIPLEX});
        }
        run.share = curl_share_init();
        if (run.share != nullptr)
            curl_share_setopt(run.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    return run;
}

std::size_t bytes_behind = 0;

// The write callback of a feed fetch: the document grows in memory, within
// its limit. Behind the first fetch, a document that would take the window
// past its bytes is given up for now and fetched again when its turn comes:
// pausing it instead would keep its connection, which the first fetch may
// be waiting for.
std::size_t keep_feed_bytes(char *block, std::size_t size, std::size_t count, void *user)
{
    auto *fetch = static_cast<feed_fetch *>(user);
    std::size_t n = size * count;
    if (n > feed_limits.body_max - fetch->size) {
        fetch->error = EFBIG;
        return 0;
    }
    if (!fetch->first && n > feed_limits.window_bytes - bytes_behind) {
        fetch->deferred = true;
        return 0;
    }
    // One byte more for a terminator: libnxml reads the byte after the text.
    if (fetch->size + n + 1 > fetch->capacity) {
        std::size_t capacity = fetch->capacity == 0 ? 64 * 1024 : fetch->capacity;
        while (capacity < fetch->size + n + 1)
            capacity *= 2;
        if (capacity > feed_limits.body_max + 1)
            capacity = feed_limits.body_max + 1;
        auto *grown = static_cast<char *>(std::realloc(fetch->body, capacity));
        if (grown == nullptr) {
            fetch->error = ENOMEM;
            return 0;
        }
        fetch->body = grown;
        fetch->capacity = capacity;
    }
    std::memcpy(fetch->body + fetch->size, block, n);
    fetch->size += n;
    fetch->body[fetch->size] = '\0';
    if (!fetch->first && (bytes_behind += n) > feed_bytes_behind_peak)
        feed_bytes_behind_peak = bytes_behind;
    return n;
}

// Every option of a feed fetch is set here, and in set_shared_options.
void set_feed_options(CURL *handle, feed_fetch *fetch)
{
    set_shared_options(handle);
    // The list is the user's own: its URLs go to libcurl as they stand, with
    // every protocol it knows (file:// included); redirects stay on the web.
    curl_easy_setopt(handle, CURLOPT_URL, fetch->line);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keep_feed_bytes);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, fetch);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, fetch);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, feed_limits.timeout_seconds);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(feed_limits.body_max));
    // Over TLS, the handshake tells whether the server multiplexes: fetches
    // wait for it and then share the connection where it does. Plain HTTP
    // would only know from the first response, so there they do not wait.
    if (strncasecmp(fetch->line, "https://", 8) == 0)
        curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
}

// The system error number that tells a user why a transfer failed.
int transfer_error_number(CURLcode code, long os_errno)
{
    // Outcomes that say why by themselves come first: after a timeout the
    // connection's own number is often a stale EINPROGRESS.
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return ETIMEDOUT;
    case CURLE_FILESIZE_EXCEEDED:
        return EFBIG;
    case CURLE_TOO_MANY_REDIRECTS:
        return ELOOP;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return EPROTONOSUPPORT;
    case CURLE_URL_MALFORMAT:
        return EINVAL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ENXIO;
    case CURLE_OUT_OF_MEMORY:
        return ENOMEM;
    default:
        break;
    }
    if (os_errno != 0)
        return static_cast<int>(os_errno);
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return ECONNREFUSED;
    case CURLE_GOT_NOTHING:
        return ENODATA;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return ECONNRESET;
    case CURLE_PEER_FAILED_VERIFICATION:
        return EKEYREJECTED;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return EPROTO;
    case CURLE_BAD_CONTENT_ENCODING:
        return EBADMSG;
    case CURLE_FILE_COULDNT_READ_FILE:
        return ENOENT;
    default:
        return EIO;
    }
}

void drop_document(feed_fetch *fetch)
{
    if (!fetch->first)
        bytes_behind -= fetch->size;
    std::free(fetch->body);
    fetch->body = nullptr;
    fetch->size = fetch->capacity = 0;
}

// A fetch that has ended: its handle goes, its error is kept. A deferred
// one is not done: it starts again when it leads the window.
void finish_feed(feed_fetch *fetch, CURLcode code)
{
    long os_errno = 0;
    curl_easy_getinfo(fetch->handle, CURLINFO_OS_ERRNO, &os_errno);
    if (fetch->deferred) {
        drop_document(fetch);
    } else if (fetch->error == 0) {
        if (code != CURLE_OK)
            fetch->error = transfer_error_number(code, os_errno);
        else if (fetch->size == 0)
            fetch->error = ENODATA; // nothing to parse
    }
    curl_multi_remove_handle(transfers().multi, fetch->handle);
    curl_easy_cleanup(fetch->handle);
    fetch->handle = nullptr;
    fetch->done = !fetch->deferred;
    if (fetch->deferred && fetch->first) // it led the window before it ended
        feed_fetch_start(fetch, true);
}

// Moves every transfer on and ends the feed fetches that are done. The
// result is the code of `episode` when it is done, else -1.
int collect(CURL *episode)
{
    CURLM *multi = transfers().multi;
    int running = 0;
    curl_multi_perform(multi, &running);
    int episode_code = -1;
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        if (msg->easy_handle == episode) {
            episode_code = msg->data.result;
            continue;
        }
        char *fetch = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &fetch);
        finish_feed(reinterpret_cast<feed_fetch *>(fetch), msg->data.result);
    }
    return episode_code;
}

constexpr int poll_ms = 1000;

} // namespace

feed_fetch::~feed_fetch()
{
    feed_fetch_release(this);
}

void set_shared_options(CURL *handle)
{
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, shared_limits.max_redirects);
    allow_only_web(handle, false);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, user_agent);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, shared_limits.connect_timeout_seconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, shared_limits.low_speed_bytes);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, shared_limits.low_speed_seconds);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_SHARE, transfers().share);
}

void allow_only_web(CURL *handle, bool requests)
{
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (requests)
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
    if (requests)
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
#endif
}

void feed_fetch_start(feed_fetch *fetch, bool first)
{
    fetch->started = std::time(nullptr);
    fetch->first = first;
    fetch->deferred = false;
    fetch->done = false;
    fetch->error = 0;
    CURLM *multi = transfers().multi;
    fetch->handle = multi != nullptr ? curl_easy_init() : nullptr;
    if (fetch->handle == nullptr) {
        fetch->error = ENOMEM;
        fetch->done = true;
        return;
    }
    set_feed_options(fetch->handle, fetch);
    if (curl_multi_add_handle(multi, fetch->handle) != CURLM_OK) {
        curl_easy_cleanup(fetch->handle);
        fetch->handle = nullptr;
        fetch->error = ENOMEM;
        fetch->done = true;
    }
}

void feed_fetch_lead(feed_fetch *fetch)
{
    if (!fetch->first)
        bytes_behind -= fetch->size;
    fetch->first = true;
    if (fetch->deferred && fetch->handle == nullptr)
        feed_fetch_start(fetch, true);
}

void feed_fetch_release(feed_fetch *fetch)
{
    if (fetch->handle != nullptr) {
        curl_multi_remove_handle(transfers().multi, fetch->handle);
        curl_easy_cleanup(fetch->handle);
        fetch->handle = nullptr;
    }
    drop_document(fetch);
    fetch->first = false;
    fetch->deferred = false;
    fetch->done = true;
}

std::size_t feed_bytes_behind()
{
    return bytes_behind;
}

void transfers_run(const feed_fetch *awaited)
{
    if (transfers().multi == nullptr)
        return;
    collect(nullptr);
    if (awaited != nullptr && !awaited->done) {
        curl_multi_poll(transfers().multi, nullptr, 0, poll_ms, nullptr);
        collect(nullptr);
    }
}

CURLcode transfer_perform(CURL *handle)
{
    CURLM *multi = transfers().multi;
    if (multi == nullptr || curl_multi_add_handle(multi, handle) != CURLM_OK)
        return CURLE_OUT_OF_MEMORY;
    int code;
    while ((code = collect(handle)) < 0)
        curl_multi_poll(multi, nullptr, 0, poll_ms, nullptr);
    curl_multi_remove_handle(multi, handle);
    return static_cast<CURLcode>(code);
}
