// quillmark_collector: a loopback log collector for tests and demos. It records what clients post
// to /v2/log and answers well or badly on request (see usageText() in options.h).
#include <httplib.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "answers.h"
#include "options.h"
#include "page_html.h"
#include "page_store.h"
#include "raw_server.h"
#include "recorder.h"
#include "stop_signal.h"
#include "tls_identity.h"

namespace {

using namespace collector;

sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// Blocked before any thread starts, so that every thread inherits the mask and only the
// main thread's sigwait sees the signals.
void blockTerminationSignals() {
    const sigset_t signals = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

// Every post allocates buffers the size of its body (hundreds of KiB) and frees them at once.
// By default glibc hands such blocks back to the kernel on free and the next post faults every
// page in again: that cost the collector more than reading the records. Keeping them makes a
// busy collector's memory grow to its largest posts times its threads, which a test tool can
// afford.
void keepFreedMemory() {
    constexpr int kLargestPooledBlock = 32 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, kLargestPooledBlock);
    mallopt(M_TRIM_THRESHOLD, 2 * kLargestPooledBlock);
}

void waitForTerminationSignal() {
    const sigset_t signals = terminationSignals();
    int received = 0;
    sigwait(&signals, &received);
}

// Written beside the target and renamed, so that a reader never sees half a number.
void writePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp";
    {
        const FilePtr file(std::fopen(temporary.c_str(), "w"));
        if (!file || std::fprintf(file.get(), "%d\n", port) < 0) {
            throw std::runtime_error("cannot write " + temporary);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot rename " + temporary + " to " + path);
    }
}

void announce(const Options& options, int port) {
    if (!options.portFile.empty()) writePortFile(options.portFile, port);
    const char* scheme = options.https ? "https" : "http";
    std::fprintf(stderr, "listening on %s://127.0.0.1:%d\n", scheme, port);
    if (options.page) std::fprintf(stderr, "page at %s://127.0.0.1:%d/\n", scheme, port);
}

ReceivedRequest receivedFrom(const httplib::Request& request) {
    ReceivedRequest received{request.method, request.target, {}, request.body};
    for (const auto& header : request.headers) {
        // The server library adds these itself; they were never on the wire.
        if (header.first == "REMOTE_ADDR" || header.first == "REMOTE_PORT" ||
            header.first == "LOCAL_ADDR" || header.first == "LOCAL_PORT") {
            continue;
        }
        received.headers.emplace_back(header.first, header.second);
    }
    return received;
}

std::unique_ptr<httplib::Server> makeHttpServer(const TlsIdentity* identity) {
    std::unique_ptr<httplib::Server> server;
    if (identity) {
        server = std::make_unique<httplib::SSLServer>(identity->certificate(), identity->key());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) throw std::runtime_error("the HTTP server could not be set up");
    // As many requests per kept connection as nginx takes by default; the library's default
    // of 5 would make a client that keeps its connection reconnect every fifth batch.
    server->set_keep_alive_max_count(1000);
    // The library's default adds SO_REUSEPORT, which would let a second collector share a busy
    // port and take some of the first one's connections.
    server->set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Accepted connections inherit it: an answer written in pieces (as over TLS) must not
        // wait for the client's delayed ACK.
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    return server;
}

// Registered before the collector's own handlers, which answer every other path; the page's
// requests are not the client's, so they are not recorded.
void installPageHandlers(httplib::Server& server, const PageStore& page) {
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(pageHtml(), "text/html; charset=utf-8");
    });
    server.Get("/page/state",
               [&page](const httplib::Request& request, httplib::Response& response) {
                   uint64_t since = 0;
                   if (request.has_param("since")) {
                       since = std::strtoull(request.get_param_value("since").c_str(), nullptr, 10);
                   }
                   response.set_header("Cache-Control", "no-store");
                   response.set_content(page.stateJson(since), "application/json");
               });
}

void installHandlers(httplib::Server& server, const Options& options, Recorder& recorder,
                     StopSignal& stop, PageStore* page) {
    const auto handler = [&options, &recorder, &stop, page](const httplib::Request& request,
                                                            httplib::Response& response) {
        const ReceivedRequest received = receivedFrom(request);
        const ReceivedRecords records = recorder.record(received);
        if (page && records) page->add(received.body, *records);
        stop.sleepFor(options.delayMs);
        const Answer answer = answerFor(options, received, records);
        response.status = answer.status;
        response.set_content(answer.body, answer.contentType.c_str());
    };
    server.Post(".*", handler);
    server.Get(".*", handler);
}

int bindHttpServer(httplib::Server& server, int port) {
    if (port == 0) return server.bind_to_any_port("127.0.0.1");
    return server.bind_to_port("127.0.0.1", port) ? port : -1;
}

// stop() only reaches a server that has begun listening.
void stopHttpServer(httplib::Server& server) {
    for (int i = 0; i < 200 && !server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server.stop();
}

int runHttp(const Options& options, Recorder& recorder, StopSignal& stop,
            const TlsIdentity* identity) {
    const std::unique_ptr<httplib::Server> server = makeHttpServer(identity);
    // Outlives the server, whose threads feed it and read it.
    const std::unique_ptr<PageStore> page =
        options.page ? std::make_unique<PageStore>(options) : nullptr;
    if (page) installPageHandlers(*server, *page);
    installHandlers(*server, options, recorder, stop, page.get());
    const int port = bindHttpServer(*server, options.port);
    if (port <= 0)
        throw std::runtime_error("cannot listen on port " + std::to_string(options.port));
    announce(options, port);
    std::thread serving([&server] { server->listen_after_bind(); });
    waitForTerminationSignal();
    stop.trigger();
    stopHttpServer(*server);
    serving.join();
    return 0;
}

int runRaw(const Options& options, Recorder& recorder, StopSignal& stop,
           const TlsIdentity* identity) {
    const SslContextPtr tls = identity ? identity->newServerContext() : nullptr;
    RawServer server(options, recorder, stop, tls.get());
    announce(options, server.listen(options.port));
    server.start();
    waitForTerminationSignal();
    stop.trigger();
    server.shutdown();
    return 0;
}

int run(const Options& options) {
    Recorder recorder(options);
    StopSignal stop;
    std::optional<TlsIdentity> identity;
    if (options.https) identity.emplace();
    if (identity && !options.certOut.empty()) identity->writeCertificatePem(options.certOut);
    const TlsIdentity* tls = identity ? &*identity : nullptr;
    return isRawMode(options.mode) ? runRaw(options, recorder, stop, tls)
                                   : runHttp(options, recorder, stop, tls);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "quillmark_collector: %s\n%s", error.what(), usageText());
        return 2;
    }
    if (options.helpRequested) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    blockTerminationSignals();
    keepFreedMemory();
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quillmark_collector: %s\n", error.what());
        return 1;
    }
}
