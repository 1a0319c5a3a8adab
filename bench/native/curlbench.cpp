// The reference client of the benchmarks: the same workloads as the Python
// clients, driven straight from C++ through libcurl's easy and multi
// interfaces, with a write callback that counts the bytes and drops them.
// It prints one JSON line per run, in the same shape as bench/worker.py.
//
//   curlbench version
//   curlbench w1 URL COUNT [--mark]
//   curlbench w5 URL COUNT                 (1, 2, then 1 thread again)
//   curlbench w2 URL BUFFERSIZE            (0 keeps libcurl's default)
//   curlbench w3-poll URL COUNT INFLIGHT
//   curlbench w3-socket URL COUNT INFLIGHT [--mark]
//   curlbench w8-poll URL COUNT INFLIGHT CAFILE    (W3 as HTTP/2 streams over
//   curlbench w8-socket URL COUNT INFLIGHT CAFILE   one TLS connection)
//
// --mark brackets the timed loop with curl_easy_init/curl_easy_cleanup so
// that `valgrind --tool=callgrind --dump-before=curl_easy_init` cuts a
// profile of exactly the loop (bench/run.py does the same to the Python
// worker).

#include <curl/curl.h>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

[[noreturn]] void die(const char *what, const char *detail) {
    std::fprintf(stderr, "curlbench: %s: %s\n", what, detail);
    std::exit(1);
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

long rss_kib() {
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Usage {
    double wall, user, sys;
};

Usage usage_now() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return {now(), double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) * 1e-6,
            double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) * 1e-6};
}

void report(long long requests, long long bytes, const Usage &a, const Usage &b) {
    std::printf("{\"requests\": %lld, \"bytes\": %lld, \"seconds\": %.6f, \"user\": %.6f, "
                "\"sys\": %.6f, \"rss_kib\": %ld}\n",
                requests, bytes, b.wall - a.wall, b.user - a.user, b.sys - a.sys, rss_kib());
}

// Marks a cut for callgrind's --dump-before=curl_easy_init.
void mark() { curl_easy_cleanup(curl_easy_init()); }

size_t discard(char *, size_t size, size_t nmemb, void *userdata) {
    *static_cast<long long *>(userdata) += (long long)(size * nmemb);
    return size * nmemb;
}

// kelvex gives every handle an error buffer and a user agent made of its
// own name and libcurl's version text; the reference does the same, so that
// both put the same bytes on the wire and libcurl does the same work.
char user_agent[512];
thread_local char error_buffer[CURL_ERROR_SIZE];  // written only on failure

CURL *make_easy(const char *url, long long *counter, long buffersize) {
    CURL *e = curl_easy_init();
    if (!e)
        die("curl_easy_init", "failed");
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, user_agent);
    curl_easy_setopt(e, CURLOPT_URL, url);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, counter);
    if (buffersize > 0)
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, buffersize);
    return e;
}

void perform_ok(CURL *e) {
    CURLcode rc = curl_easy_perform(e);
    if (rc != CURLE_OK)
        die("curl_easy_perform", curl_easy_strerror(rc));
}

// Checked once after a loop, as the kelvex client does.
void status_ok(CURL *e) {
    long code = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code);
    if (code != 200)
        die("transfer", "HTTP status is not 200");
}

// W1: sequential GETs on one easy handle, so on one keep-alive connection.
// One untimed request opens the connection first.
int run_w1(const char *url, long long count, bool marks) {
    long long warm = 0, bytes = 0;
    CURL *e = make_easy(url, &warm, 0);
    perform_ok(e);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &bytes);
    if (marks)
        mark();
    Usage a = usage_now();
    for (long long i = 0; i < count; i++)
        perform_ok(e);
    Usage b = usage_now();
    if (marks)
        mark();
    status_ok(e);
    curl_easy_cleanup(e);
    report(count, bytes, a, b);
    return 0;
}

// W5: W1 on THREADS threads at once, each with its own handle.
struct W1Thread {
    const char *url;
    long long count;
    long long bytes;
    pthread_barrier_t *start;
    pthread_t thread;
};

void *w1_thread(void *arg) {
    auto *t = static_cast<W1Thread *>(arg);
    long long warm = 0;
    CURL *e = make_easy(t->url, &warm, 0);
    perform_ok(e);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t->bytes);
    pthread_barrier_wait(t->start);
    for (long long i = 0; i < t->count; i++)
        perform_ok(e);
    status_ok(e);
    curl_easy_cleanup(e);
    return nullptr;
}

struct Threaded {
    long long bytes;
    double seconds;
};

Threaded threaded(const char *url, long long count, int threads) {
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, unsigned(threads) + 1);
    std::vector<W1Thread> ts(size_t(threads), W1Thread{url, count, 0, &start, {}});
    for (auto &t : ts)
        if (pthread_create(&t.thread, nullptr, w1_thread, &t) != 0)
            die("pthread_create", std::strerror(errno));
    pthread_barrier_wait(&start);
    double a = now();
    long long bytes = 0;
    for (auto &t : ts) {
        pthread_join(t.thread, nullptr);
        bytes += t.bytes;
    }
    double b = now();
    pthread_barrier_destroy(&start);
    return {bytes, b - a};
}

// One thread, two threads, one thread again: the speed-up is judged against
// the mean of the runs on either side, so that a slow phase of the machine
// does not land on one side only.
int run_w5(const char *url, long long count) {
    Usage a = usage_now();
    Threaded one = threaded(url, count, 1);
    Threaded two = threaded(url, count, 2);
    Threaded again = threaded(url, count, 1);
    Usage b = usage_now();
    std::printf("{\"requests\": %lld, \"bytes\": %lld, \"seconds\": %.6f, \"user\": %.6f, "
                "\"sys\": %.6f, \"rss_kib\": %ld, \"rps_one\": [%.3f, %.3f], \"rps_two\": %.3f}\n",
                4 * count, one.bytes + two.bytes + again.bytes, b.wall - a.wall, b.user - a.user,
                b.sys - a.sys, rss_kib(), double(count) / one.seconds, double(count) / again.seconds,
                double(2 * count) / two.seconds);
    return 0;
}

// W2: one large download.
int run_w2(const char *url, long buffersize) {
    long long bytes = 0;
    CURL *e = make_easy(url, &bytes, buffersize);
    Usage a = usage_now();
    perform_ok(e);
    Usage b = usage_now();
    status_ok(e);
    curl_easy_cleanup(e);
    report(1, bytes, a, b);
    return 0;
}

// W3: COUNT GETs with INFLIGHT transfers at a time.  A finished handle is
// removed and added again for the next request, so the multi handle's
// connection pool carries the keep-alive connections from one to the next.
struct Pool {
    CURLM *multi;
    std::vector<CURL *> easies;
    long long bytes = 0;
    long long started = 0, done = 0, count;

    // With a CA file: HTTPS over HTTP/2, every transfer waiting for the
    // first connection to multiplex on it (PIPEWAIT), up to INFLIGHT streams.
    Pool(const char *url, long long count_, long inflight, const char *cafile = nullptr)
        : multi(curl_multi_init()), count(count_) {
        if (!multi)
            die("curl_multi_init", "failed");
        if (cafile)
            curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, inflight);
        for (long i = 0; i < inflight; i++) {
            CURL *e = make_easy(url, &bytes, 0);
            if (cafile) {
                curl_easy_setopt(e, CURLOPT_CAINFO, cafile);
                curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
                curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
            }
            easies.push_back(e);
        }
    }
    ~Pool() {
        for (CURL *e : easies) {
            curl_multi_remove_handle(multi, e);
            curl_easy_cleanup(e);
        }
        curl_multi_cleanup(multi);
    }
    void start_all() {
        for (CURL *e : easies)
            if (started < count) {
                curl_multi_add_handle(multi, e);
                started++;
            }
    }
    // Collects finished transfers and starts the next ones on their handles.
    void reap() {
        int queued = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            if (msg->data.result != CURLE_OK)
                die("transfer", curl_easy_strerror(msg->data.result));
            CURL *e = msg->easy_handle;
            done++;
            curl_multi_remove_handle(multi, e);
            if (started < count) {
                curl_multi_add_handle(multi, e);
                started++;
            }
        }
    }
};

// Warms the pool up with one round of INFLIGHT requests, untimed, so that
// the timed part starts with the connections open.
template <typename Drive>
int run_w3(const char *url, long long count, long inflight, Drive drive, bool marks = false,
           const char *cafile = nullptr) {
    if (inflight < 1 || inflight > 10000)
        die("w3", "in-flight count out of range");
    Pool pool(url, inflight, inflight, cafile);
    drive(pool);
    // The warm connections live in this multi handle's pool: run the timed
    // requests on the same multi handle with a fresh count.
    pool.started = pool.done = 0;
    pool.count = count;
    pool.bytes = 0;
    if (marks)
        mark();
    Usage a = usage_now();
    drive(pool);
    Usage b = usage_now();
    if (marks)
        mark();
    report(count, pool.bytes, a, b);
    return 0;
}

// Polling style: curl_multi_perform, then curl_multi_fdset and select(2),
// the same calls CurlMulti.perform/timeout/select make.
void drive_poll(Pool &p) {
    p.start_all();
    while (p.done < p.count) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(p.multi, &running);
        if (mc != CURLM_OK)
            die("curl_multi_perform", curl_multi_strerror(mc));
        p.reap();
        if (p.done >= p.count)
            break;
        long timeout_ms = -1;
        curl_multi_timeout(p.multi, &timeout_ms);
        if (timeout_ms == 0)
            continue;
        fd_set r, w, x;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&x);
        int max_fd = -1;
        curl_multi_fdset(p.multi, &r, &w, &x, &max_fd);
        if (max_fd < 0)
            continue;
        if (timeout_ms < 0 || timeout_ms > 1000)
            timeout_ms = 1000;
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        select(max_fd + 1, &r, &w, &x, &tv);
    }
}

// Event style: socket and timer callbacks feeding epoll, and
// curl_multi_socket_action for each ready socket or expired timer.
struct EventLoop {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    double deadline = -1;  // absolute time of libcurl's timer, -1 when none
    std::vector<char> registered;
};

int socket_cb(CURL *, curl_socket_t s, int what, void *userp, void *) {
    auto *ev = static_cast<EventLoop *>(userp);
    if (size_t(s) >= ev->registered.size())
        ev->registered.resize(size_t(s) + 1, 0);
    if (what == CURL_POLL_REMOVE) {
        if (ev->registered[size_t(s)])
            epoll_ctl(ev->ep, EPOLL_CTL_DEL, s, nullptr);
        ev->registered[size_t(s)] = 0;
        return 0;
    }
    epoll_event e{};
    e.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
    e.data.fd = s;
    int op = ev->registered[size_t(s)] ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(ev->ep, op, s, &e) != 0)
        die("epoll_ctl", std::strerror(errno));
    ev->registered[size_t(s)] = 1;
    return 0;
}

int timer_cb(CURLM *, long timeout_ms, void *userp) {
    auto *ev = static_cast<EventLoop *>(userp);
    ev->deadline = timeout_ms < 0 ? -1 : now() + double(timeout_ms) * 1e-3;
    return 0;
}

void drive_socket(Pool &p) {
    // One loop for the process: the warm-up and the timed run share the
    // multi handle, and with it the sockets registered in epoll.
    static EventLoop ev;
    if (ev.ep < 0)
        die("epoll_create1", std::strerror(errno));
    curl_multi_setopt(p.multi, CURLMOPT_SOCKETFUNCTION, socket_cb);
    curl_multi_setopt(p.multi, CURLMOPT_SOCKETDATA, &ev);
    curl_multi_setopt(p.multi, CURLMOPT_TIMERFUNCTION, timer_cb);
    curl_multi_setopt(p.multi, CURLMOPT_TIMERDATA, &ev);
    p.start_all();
    epoll_event events[128];
    int running = 0;
    while (p.done < p.count) {
        int wait_ms = 1000;
        if (ev.deadline >= 0) {
            double left = ev.deadline - now();
            wait_ms = left <= 0 ? 0 : int(left * 1000) + 1;
            if (wait_ms > 1000)
                wait_ms = 1000;
        }
        int n = epoll_wait(ev.ep, events, 128, wait_ms);
        for (int i = 0; i < n; i++) {
            int flags = (events[i].events & EPOLLIN ? CURL_CSELECT_IN : 0) |
                        (events[i].events & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                        (events[i].events & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
            curl_multi_socket_action(p.multi, events[i].data.fd, flags, &running);
        }
        if (ev.deadline >= 0 && now() >= ev.deadline) {
            ev.deadline = -1;
            curl_multi_socket_action(p.multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }
        p.reap();
    }
}

void json_text(const char *s) {
    std::putchar('"');
    for (; s && *s; s++) {
        if (*s == '"' || *s == '\\')
            std::putchar('\\');
        if (static_cast<unsigned char>(*s) >= 0x20)
            std::putchar(*s);
    }
    std::putchar('"');
}

int run_version() {
    const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
    std::printf("{\"libcurl\": ");
    json_text(v->version);
    std::printf(", \"ssl\": ");
    json_text(v->ssl_version);
    std::printf(", \"curl_version\": ");
    json_text(curl_version());
    std::printf("}\n");
    return 0;
}

long long number(const char *text, const char *what) {
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || !end || *end || v < 0)
        die("bad number for", what);
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        die("curl_global_init", "failed");
    std::snprintf(user_agent, sizeof user_agent, "Kelvex/7.47.0 %s", curl_version());
    const char *cmd = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (!std::strcmp(cmd, "version"))
        rc = run_version();
    else if (!std::strcmp(cmd, "w1") && (argc == 4 || argc == 5))
        rc = run_w1(argv[2], number(argv[3], "count"), argc == 5 && !std::strcmp(argv[4], "--mark"));
    else if (!std::strcmp(cmd, "w5") && argc == 4)
        rc = run_w5(argv[2], number(argv[3], "count"));
    else if (!std::strcmp(cmd, "w2") && argc == 4)
        rc = run_w2(argv[2], long(number(argv[3], "buffersize")));
    else if (!std::strcmp(cmd, "w3-poll") && argc == 5)
        rc = run_w3(argv[2], number(argv[3], "count"), long(number(argv[4], "inflight")), drive_poll);
    else if (!std::strcmp(cmd, "w3-socket") && (argc == 5 || argc == 6))
        rc = run_w3(argv[2], number(argv[3], "count"), long(number(argv[4], "inflight")), drive_socket,
                    argc == 6 && !std::strcmp(argv[5], "--mark"));
    else if (!std::strcmp(cmd, "w8-poll") && argc == 6)
        rc = run_w3(argv[2], number(argv[3], "count"), long(number(argv[4], "inflight")), drive_poll, false,
                    argv[5]);
    else if (!std::strcmp(cmd, "w8-socket") && argc == 6)
        rc = run_w3(argv[2], number(argv[3], "count"), long(number(argv[4], "inflight")), drive_socket, false,
                    argv[5]);
    else
        std::fprintf(stderr, "usage: curlbench version | w1 URL COUNT [--mark] | w5 URL COUNT | w2 URL BUFFERSIZE |"
                             " w3-poll URL COUNT INFLIGHT | w3-socket URL COUNT INFLIGHT [--mark] |"
                             " w8-poll URL COUNT INFLIGHT CAFILE | w8-socket URL COUNT INFLIGHT CAFILE\n");
    std::fflush(stdout);
    curl_global_cleanup();
    return rc;
}
