// Parse and write throughput of tevra's JSON core beside RapidJSON's DOM parser
// and Writer, measured in the same process with the rounds interleaved, so that
// load from other processes falls on both alike.
//
//   json_bench [--rounds N] [--seconds S] FILE...    compare, one line per file and operation
//   json_bench --profile parse|write [--rounds N] FILE   tevra alone, for a profiler
//   json_bench --emit DIR FILE...                     tevra's compact form of each file into DIR
//
// Parse MB/s is input bytes over parse time (text to tree, the tree's release
// not counted). Write MB/s is each writer's own output bytes over write time
// (tree to compact text in a fresh buffer). MB is 10^6 bytes.
#include "json/json.hpp"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "json_bench: %s\n", what.c_str());
    std::exit(2);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) die("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string base_name(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Keeps a result observable so the work that made it cannot be dropped.
volatile std::size_t sink;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Times of one operation over all rounds.
struct Samples {
    std::vector<double> times;
    double best() const { return *std::min_element(times.begin(), times.end()); }
    double median() const {
        std::vector<double> t = times;
        std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
        return t[t.size() / 2];
    }
};

tevra::json::Value tevra_parse(const std::string& text, const std::string& name) {
    tevra::json::ParseResult r = tevra::json::parse(text);
    if (!r) die(name + ": tevra: " + r.error->detail());
    return std::move(r.value);
}

// Default flags; `exact` adds kParseFullPrecisionFlag, for correctly rounded
// doubles as tevra's parser gives them.
void rapidjson_parse(rapidjson::Document& doc, const std::string& text, const std::string& name, bool exact = false) {
    if (exact) {
        doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    } else {
        doc.Parse(text.data(), text.size());
    }
    if (doc.HasParseError()) die(name + ": rapidjson parse error at offset " + std::to_string(doc.GetErrorOffset()));
}

std::size_t rapidjson_write(const rapidjson::Document& doc) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    return buffer.GetSize();
}

struct Options {
    int min_rounds = 30;
    int max_rounds = 2000;
    double seconds = 3.0;  // per file, all four operations together
    std::string profile;   // "parse" or "write": tevra alone
    std::string emit_dir;
    std::vector<std::string> files;
};

Options parse_options(int argc, char** argv) {
    Options o;
    bool rounds_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + std::string(a));
            return argv[++i];
        };
        if (a == "--rounds") {
            o.min_rounds = o.max_rounds = std::max(1, std::atoi(next().c_str()));
            rounds_given = true;
        } else if (a == "--seconds") {
            o.seconds = std::atof(next().c_str());
        } else if (a == "--profile") {
            o.profile = next();
            if (o.profile != "parse" && o.profile != "write") die("--profile takes parse or write");
        } else if (a == "--emit") {
            o.emit_dir = next();
        } else if (a.starts_with("--")) {
            die("unknown option " + std::string(a));
        } else {
            o.files.emplace_back(a);
        }
    }
    if (o.files.empty()) die("usage: json_bench [--rounds N] [--seconds S] [--profile parse|write] [--emit DIR] FILE...");
    if (!o.profile.empty() && !rounds_given) o.min_rounds = o.max_rounds = 20;
    return o;
}

void profile(const Options& o) {
    for (const std::string& path : o.files) {
        const std::string text = read_file(path);
        if (o.profile == "parse") {
            for (int r = 0; r < o.min_rounds; ++r) sink = tevra_parse(text, path).kind() == tevra::json::Value::Kind::Null;
        } else {
            const tevra::json::Value tree = tevra_parse(text, path);
            for (int r = 0; r < o.min_rounds; ++r) sink = tevra::json::write(tree).size();
        }
    }
}

void emit(const Options& o) {
    for (const std::string& path : o.files) {
        const std::string out = tevra::json::write(tevra_parse(read_file(path), path));
        const std::string target = o.emit_dir + "/" + base_name(path);
        std::ofstream f(target, std::ios::binary);
        f.write(out.data(), static_cast<std::streamsize>(out.size()));
        if (!f.flush()) die("cannot write " + target);
    }
}

double mbps(std::size_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

void compare(const Options& o) {
    std::printf("%-18s %-6s %9s %9s | %11s %11s %7s | %11s %11s %7s | %6s\n", "document", "op", "bytes", "rj bytes",
                "tevra best", "rj best", "ratio", "tevra med", "rj med", "ratio", "rounds");
    for (const std::string& path : o.files) {
        const std::string name = base_name(path);
        const std::string text = read_file(path);

        // Trees to write from, built once.
        const tevra::json::Value tree = tevra_parse(text, name);
        rapidjson::Document doc;
        rapidjson_parse(doc, text, name);
        const std::size_t tevra_out = tevra::json::write(tree).size();
        const std::size_t rj_out = rapidjson_write(doc);

        Samples tp, rp, rx, tw, rw;
        auto time_tevra_parse = [&] {
            const auto start = Clock::now();
            tevra::json::Value v = tevra_parse(text, name);
            tp.times.push_back(seconds_since(start));
            sink = v.kind() == tevra::json::Value::Kind::Null;
        };
        auto time_rapidjson_parse = [&] {
            auto d = std::make_unique<rapidjson::Document>();
            const auto start = Clock::now();
            rapidjson_parse(*d, text, name);
            rp.times.push_back(seconds_since(start));
            sink = d->IsNull();
        };
        auto time_rapidjson_exact_parse = [&] {
            auto d = std::make_unique<rapidjson::Document>();
            const auto start = Clock::now();
            rapidjson_parse(*d, text, name, true);
            rx.times.push_back(seconds_since(start));
            sink = d->IsNull();
        };
        auto time_tevra_write = [&] {
            const auto start = Clock::now();
            const std::string out = tevra::json::write(tree);
            tw.times.push_back(seconds_since(start));
            sink = out.size();
        };
        auto time_rapidjson_write = [&] {
            const auto start = Clock::now();
            const std::size_t n = rapidjson_write(doc);
            rw.times.push_back(seconds_since(start));
            sink = n;
        };

        // Warm caches and the allocator once before counting.
        time_tevra_parse(), time_rapidjson_parse(), time_rapidjson_exact_parse(), time_tevra_write(), time_rapidjson_write();
        tp.times.clear(), rp.times.clear(), rx.times.clear(), tw.times.clear(), rw.times.clear();

        const auto start = Clock::now();
        int rounds = 0;
        while (rounds < o.max_rounds && (rounds < o.min_rounds || seconds_since(start) < o.seconds)) {
            // Alternate who goes first, so neither always runs on the other's warm caches.
            if (rounds % 2 == 0) {
                time_tevra_parse(), time_rapidjson_parse(), time_rapidjson_exact_parse(), time_tevra_write(),
                    time_rapidjson_write();
            } else {
                time_rapidjson_exact_parse(), time_rapidjson_parse(), time_tevra_parse(), time_rapidjson_write(),
                    time_tevra_write();
            }
            ++rounds;
        }

        auto line = [&](const char* op, std::size_t tevra_bytes, std::size_t rj_bytes, const Samples& t,
                        const Samples& r) {
            const double tb = mbps(tevra_bytes, t.best()), rb = mbps(rj_bytes, r.best());
            const double tm = mbps(tevra_bytes, t.median()), rm = mbps(rj_bytes, r.median());
            std::printf("%-18s %-6s %9zu %9zu | %11.1f %11.1f %7.2f | %11.1f %11.1f %7.2f | %6d\n", name.c_str(), op,
                        tevra_bytes, rj_bytes, tb, rb, tb / rb, tm, rm, tm / rm, rounds);
        };
        line("parse", text.size(), text.size(), tp, rp);
        line("parse*", text.size(), text.size(), tp, rx);
        line("write", tevra_out, rj_out, tw, rw);
        std::fflush(stdout);
    }
    std::printf("MB/s, MB = 10^6 bytes; parse: input bytes / time; write: each writer's own output bytes / time;\n"
                "ratio = tevra / RapidJSON; best = fastest round, med = median round;\n"
                "parse* = the same tevra figures beside RapidJSON with kParseFullPrecisionFlag, whose doubles match from_chars\n"
                "(by default RapidJSON rounds about one in eight of canada.json's doubles differently).\n");
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    if (!o.emit_dir.empty()) {
        emit(o);
    } else if (!o.profile.empty()) {
        profile(o);
    } else {
        compare(o);
    }
    return 0;
}
