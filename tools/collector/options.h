// Command line of the loopback collector.
#pragma once

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace collector {

enum class Mode {
    Ok,
    Stall,
    Close,
    Reset,
    Garbage,
    Html,
    Truncated,
    Big,
    LongResult,
    WrongType,
    NoResult,
    Multiline,
    Split,
    Trickle
};

struct Options {
    int port = 0;
    std::string portFile;
    bool https = false;
    std::string certOut;
    std::string outFile;
    std::string requestsFile;
    bool quietDmp = false;
    std::vector<std::string> failBodies;
    std::set<size_t> failIndexes;
    int status = 200;
    Mode mode = Mode::Ok;
    int delayMs = 0;
    // Answer of GET .../logsconf (a settings service), read anew for every request.
    std::string settingsFile;
    // Serve the page of what arrived at / (and its state at /page/state).
    bool page = false;
    // The host tool that reads a crash's dump, and the symbol folders it is given.
    std::string symbolicateTool;
    std::vector<std::string> symbolDirs;
    bool helpRequested = false;
};

// These modes misbehave below HTTP (or need control over every write), which an HTTP server
// library does not allow, so they are served by a plain accept loop.
inline bool isRawMode(Mode mode) {
    return mode == Mode::Stall || mode == Mode::Close || mode == Mode::Reset ||
           mode == Mode::Split || mode == Mode::Trickle;
}

inline const std::vector<std::pair<std::string, Mode>>& modeNames() {
    static const std::vector<std::pair<std::string, Mode>> names = {
        {"ok", Mode::Ok},
        {"stall", Mode::Stall},
        {"close", Mode::Close},
        {"reset", Mode::Reset},
        {"garbage", Mode::Garbage},
        {"html", Mode::Html},
        {"truncated", Mode::Truncated},
        {"big", Mode::Big},
        {"long-result", Mode::LongResult},
        {"wrong-type", Mode::WrongType},
        {"no-result", Mode::NoResult},
        {"multiline", Mode::Multiline},
        {"split", Mode::Split},
        {"trickle", Mode::Trickle}};
    return names;
}

inline const char* usageText() {
    return "usage: quillmark_collector [options]\n"
           "  --port N            listen on 127.0.0.1:N (0, the default, picks a free port)\n"
           "  --port-file F       write the port number and a line feed to F once listening\n"
           "  --https             serve TLS with a self-signed certificate made at start\n"
           "  --cert-out F        also write that certificate (PEM) to F\n"
           "  --out F             append every received record as one JSON line (default stdout)\n"
           "  --requests F        append one JSON line per request (path, method, headers, body)\n"
           "  --quiet-dmp         print a record's DmpData as \"<N bytes>\"\n"
           "  --fail-body SUBSTR  records whose body contains SUBSTR are answered unsuccessful\n"
           "  --fail-index I,J    records at these positions of a request are answered "
           "unsuccessful\n"
           "  --status N          answer with HTTP status N\n"
           "  --mode M            ok stall close reset garbage html truncated big long-result\n"
           "                      wrong-type no-result multiline split trickle\n"
           "  --delay-ms N        wait N ms before every answer\n"
           "  --settings-file F   answer GET .../logsconf with the content of F\n"
           "  --page              serve a live page of the records and crashes at /\n"
           "  --symbolicate TOOL  with --page: show each crash's stack as TOOL prints it\n"
           "  --symbols DIR       a symbol folder for TOOL (repeatable)\n";
}

inline long parseNumber(const std::string& text, long minimum, long maximum,
                        const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < minimum || value > maximum) {
        throw std::invalid_argument("bad value for " + what + ": '" + text + "'");
    }
    return value;
}

inline std::set<size_t> parseIndexList(const std::string& text) {
    std::set<size_t> indexes;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        indexes.insert(static_cast<size_t>(
            parseNumber(text.substr(start, comma - start), 0, INT_MAX, "--fail-index")));
        start = comma + 1;
    }
    return indexes;
}

inline Mode parseMode(const std::string& text) {
    for (const auto& entry : modeNames()) {
        if (entry.first == text) return entry.second;
    }
    throw std::invalid_argument("unknown mode '" + text + "'");
}

// Throws std::invalid_argument with a readable message for anything it does not understand.
inline Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.helpRequested = true;
            continue;
        }
        if (arg == "--https") {
            options.https = true;
            continue;
        }
        if (arg == "--quiet-dmp") {
            options.quietDmp = true;
            continue;
        }
        if (arg == "--page") {
            options.page = true;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument("missing value after " + arg);
        const std::string value = argv[++i];
        if (arg == "--port") {
            options.port = static_cast<int>(parseNumber(value, 0, 65535, arg));
        } else if (arg == "--port-file") {
            options.portFile = value;
        } else if (arg == "--cert-out") {
            options.certOut = value;
        } else if (arg == "--out") {
            options.outFile = value;
        } else if (arg == "--requests") {
            options.requestsFile = value;
        } else if (arg == "--fail-body") {
            options.failBodies.push_back(value);
        } else if (arg == "--fail-index") {
            const std::set<size_t> more = parseIndexList(value);
            options.failIndexes.insert(more.begin(), more.end());
        } else if (arg == "--status") {
            options.status = static_cast<int>(parseNumber(value, 100, 599, arg));
        } else if (arg == "--mode") {
            options.mode = parseMode(value);
        } else if (arg == "--settings-file") {
            options.settingsFile = value;
        } else if (arg == "--symbolicate") {
            options.symbolicateTool = value;
        } else if (arg == "--symbols") {
            options.symbolDirs.push_back(value);
        } else if (arg == "--delay-ms") {
            options.delayMs = static_cast<int>(parseNumber(value, 0, 3600 * 1000, arg));
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    // The page is served by the HTTP server library, which the raw modes do without.
    if (options.page && isRawMode(options.mode)) {
        throw std::invalid_argument("--page needs a mode served over HTTP (not a raw mode)");
    }
    if (!options.page && (!options.symbolicateTool.empty() || !options.symbolDirs.empty())) {
        throw std::invalid_argument("--symbolicate and --symbols only serve --page");
    }
    return options;
}

}  // namespace collector
