#include "report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "clock.h"
#include "closing.h"
#include "platform/platform.h"
#include "rows.h"
#include "text.h"

extern const unsigned char report_page[];
extern const std::size_t report_page_size;

namespace fleet {

namespace {

constexpr char marker[] = "/*HOLM-REPORT-DATA*/";
constexpr std::size_t output_lines = 5;
constexpr std::size_t output_bytes = 400;  // as JSON: hostile output cannot swell the page

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string time_or_null(double seconds) { return seconds > 0 ? number(seconds) : "null"; }

// The last lines of a printer's output, stdout then stderr, cut from the
// front until they fit.
std::string output_tail(const std::string& records) {
    std::vector<std::string> lines;
    for (const char* name : {"/stdout", "/stderr"})
        for (std::string& line : lines_of(file_text(records + name)))
            if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(std::move(line));
    std::string tail;
    std::size_t from = lines.size() > output_lines ? lines.size() - output_lines : 0;
    for (std::size_t i = from; i < lines.size(); ++i) tail += (i > from ? "\n" : "") + lines[i];
    // Cut from the front, a byte at a time, by what each byte costs as JSON:
    // one pass, however long the lines.
    std::size_t size = json_string(tail).size() - 2, cut = 0;
    while (size > output_bytes) size -= json_string(tail.substr(cut++, 1)).size() - 2;
    // Not inside a UTF-8 sequence.
    while (cut < tail.size() && (static_cast<unsigned char>(tail[cut]) & 0xC0) == 0x80) ++cut;
    return tail.substr(cut);
}

std::string options_text(const FleetSettings& s) {
    std::string text = "-j " + std::to_string(s.jobs);
    if (s.mode != 0) text += std::string(" -m ") + s.mode;
    if (s.debug) text += " -d";
    if (!s.firmware.empty()) text += " --firmware " + s.firmware;
    if (s.plan) text += " --plan";
    if (s.canary > 0) text += " --canary " + std::to_string(s.canary);
    if (!s.waves_text.empty()) text += " --waves " + s.waves_text;
    if (!s.pause_text.empty()) text += " --pause " + s.pause_text;
    if (s.window.set) text += " --window " + s.window.text;
    if (s.max_failed.set) text += " --max-failed " + s.max_failed.text;
    if (!s.key.empty()) text += " --key " + s.key;
    if (!s.ca.empty()) text += " --ca " + s.ca;
    if (s.retry) text += " --retry-failed";
    return text;
}

const char* stop_reason(StopReason why) {
    switch (why) {
    case StopReason::canary: return "canary";
    case StopReason::wave: return "wave";
    case StopReason::brake: return "brake";
    case StopReason::window: return "window";
    case StopReason::interrupted: return "interrupted";
    case StopReason::machine: return "machine";
    case StopReason::none: break;
    }
    return "";
}

std::string strings(const std::vector<std::string>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + json_string(list[i]);
    return out + "]";
}

std::string waves_json(const FleetRun& run) {
    std::string out = "[";
    for (std::size_t i = 0; i < run.waves.size() && run.waves.size() > 1; ++i) {
        std::string label = i == 0 && run.settings.canary > 0 ? "canary" : "wave " + std::to_string(i + 1);
        double started = i < run.wave_started.size() ? run.wave_started[i] : 0;
        out += std::string(i ? ", " : "") + "{\"number\": " + std::to_string(i + 1) + ", \"label\": " +
               json_string(label) + ", \"size\": " + std::to_string(run.waves[i]) +
               ", \"started\": " + time_or_null(started) + "}";
    }
    return out + "]";
}

std::string run_json(const FleetRun& run, bool ended) {
    const FleetSettings& s = run.settings;
    std::string stop = "null";
    if (run.stopped != StopReason::none)
        stop = std::string("{\"reason\": \"") + stop_reason(run.stopped) + "\", \"at\": " + time_or_null(run.stop_time) +
               ", \"text\": " + json_string(stop_line(run)) + "}";
    std::string window = "null";
    if (s.window.set)
        window = "{\"text\": " + json_string(s.window.text) + ", \"opens\": " + time_or_null(run.window_opens) +
                 ", \"closes\": " + time_or_null(run.window_closes) + "}";
    auto text_or_null = [](const std::string& t) { return t.empty() ? std::string("null") : json_string(t); };
    // The first bundle's fields as a run of one bundle has them, every
    // bundle's in "bundles".
    std::string names, bundles;
    std::vector<std::string> models;
    for (const Bundle& b : run.bundles) {
        names += (names.empty() ? "" : ", ") + bundle_name(b);
        models.insert(models.end(), b.models.begin(), b.models.end());
        bundles += std::string(bundles.empty() ? "" : ", ") + "{\"name\": " + json_string(bundle_name(b)) +
                   ", \"sha256\": " + json_string(b.sha256) + ", \"models\": " + strings(b.models) +
                   ", \"firmware\": " + text_or_null(b.firmware) + "}";
    }
    return std::string("{\"state\": ") + (ended ? "\"ended\"" : "\"running\"") + ", \"bundle\": " + json_string(names) +
           ", \"sha256\": " + json_string(run.bundles.empty() ? std::string() : run.bundles.front().sha256) +
           ", \"bundles\": [" + bundles + "], \"key\": " + text_or_null(s.key) +
           ", \"firmware\": " + text_or_null(s.firmware) + ", \"models\": " + strings(models) +
           ", \"options\": " + json_string(options_text(s)) + ", \"plan\": " + (s.plan ? "true" : "false") +
           ", \"retry\": " + (s.retry ? "true" : "false") + ", \"started\": " + time_or_null(run.run_started) +
           ", \"ended\": " + (ended ? number(wall_seconds()) : "null") + ", \"written\": " + number(wall_seconds()) +
           ", \"control\": " + json_string(plat::host_name()) + ", \"dir\": " + json_string(run.places.dir) +
           ", \"printers\": " + std::to_string(run.printers.size()) + ", \"stop\": " + stop +
           ", \"waves\": " + waves_json(run) + ", \"window\": " + window + "}";
}

std::string printer_json(PrinterRun& p, bool waves, std::vector<std::string>& messages,
                         std::unordered_map<std::string, std::size_t>& known) {
    SummaryRow row = shown_row(p);
    long message = -1;
    if (!row.message.empty()) {
        std::string m = cut_text(row.message, kept_text_bytes);
        auto [at, fresh] = known.emplace(m, messages.size());
        if (fresh) messages.push_back(m);
        message = static_cast<long>(at->second);
    }
    bool ended = row.result != "running" && row.result != "not started";
    if (ended && !p.output_read) {
        p.output = output_tail(p.records);
        p.output_read = true;
    }
    bool ran = p.chosen && p.started != 0;
    const std::string fields[] = {json_string(p.listed.address),
                                  json_string(row.result),
                                  std::to_string(message),
                                  json_string(row.before),
                                  json_string(row.after),
                                  row.seconds.empty() ? std::string("null") : row.seconds,
                                  ran ? number(p.started) : std::string("null"),
                                  ran && p.ended > 0 ? number(p.ended) : std::string("null"),
                                  std::to_string(ran && waves ? p.wave : 0),
                                  json_string(p.model),
                                  json_string(p.output),
                                  json_string(row.bundle)};
    std::string out = "[";
    for (const std::string& field : fields) {
        if (out.size() > 1) out += ", ";
        out += field;
    }
    return out + "]";
}

}  // namespace

std::string report_data(FleetRun& run, bool ended) {
    std::vector<std::string> messages;
    std::unordered_map<std::string, std::size_t> known;
    std::string printers;
    for (PrinterRun& p : run.printers) {
        if (p.records.empty()) p.records = run.places.dir + "/printers/" + p.listed.address;
        printers += (printers.empty() ? "\n" : ",\n") + printer_json(p, run.waves.size() > 1, messages, known);
    }
    return "{\"format\": 1, \"run\": " + run_json(run, ended) + ",\n\"messages\": " + strings(messages) +
           ",\n\"printers\": [" + printers + "]}";
}

void write_report(FleetRun& run, bool ended) {
    std::string page(reinterpret_cast<const char*>(report_page), report_page_size);
    std::size_t at = page.find(marker);
    if (at == std::string::npos || run.places.dir.empty()) return;
    std::string path = run.places.dir + "/report.html";
    std::error_code ec;
    {
        std::ofstream out(path + ".new", std::ios::binary | std::ios::trunc);
        out << page.substr(0, at) << report_data(run, ended) << page.substr(at + sizeof marker - 1);
        out.close();
        if (!out) {
            // A full disk leaves the last whole report, not a torn one beside it.
            std::filesystem::remove(path + ".new", ec);
            return;
        }
    }
    std::filesystem::rename(path + ".new", path, ec);
}

}  // namespace fleet
