#include "harness/HttpServer.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kel::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr int kStartTimeoutMs = 15000;

// A JSON string literal of bytes: every byte outside printable ASCII as \u00XX, which the server
// turns back into that byte (it sends bodies as latin-1).
std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonAnswer(const HttpAnswer& answer) {
    std::ostringstream json;
    json << "{\"status\":" << answer.status;
    if (answer.body_size) {
        json << ",\"body_size\":" << *answer.body_size;
    } else if (!answer.file.empty()) {
        json << ",\"file\":" << JsonString(answer.file);
    } else {
        json << ",\"body\":" << JsonString(answer.body);
    }
    json << ",\"headers\":{";
    for (std::size_t i = 0; i < answer.headers.size(); ++i) {
        json << (i ? "," : "") << JsonString(answer.headers[i].first) << ":"
             << JsonString(answer.headers[i].second);
    }
    json << "}";
    json << ",\"content_length\":" << (answer.content_length ? "true" : "false");
    json << ",\"delay_ms\":" << answer.delay_ms << ",\"body_delay_ms\":" << answer.body_delay_ms
         << ",\"chunk_delay_ms\":" << answer.chunk_delay_ms;
    if (answer.chunk_size != 0) {
        json << ",\"chunk_size\":" << answer.chunk_size;
    }
    if (answer.close_after) {
        json << ",\"close_after\":" << *answer.close_after;
    }
    if (answer.stall_after) {
        json << ",\"stall_after\":" << *answer.stall_after;
    }
    json << ",\"interim_count\":" << answer.interim_count
         << ",\"interim_delay_ms\":" << answer.interim_delay_ms
         << ",\"keep_alive\":" << (answer.keep_alive ? "true" : "false");
    if (!answer.excess.empty()) {
        json << ",\"excess\":" << JsonString(answer.excess);
    }
    json << ",\"never_answer\":" << (answer.never_answer ? "true" : "false") << "}";
    return json.str();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

bool WaitUntil(ChildProcess& child, const std::function<bool()>& ready, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (ready()) {
            return true;
        }
        if (!child.Running()) {
            return false;
        }
        SleepMs(10);
    }
    return ready();
}

std::unique_ptr<ChildProcess> StartPythonServer(const std::string& script,
                                                std::vector<std::string> arguments,
                                                const TempFolder& folder, int* port) {
    const std::string port_file = folder / (script + ".port");
    const std::string output = folder / (script + ".out");
    arguments.insert(arguments.begin(),
                     {kPython, std::string(KELRES_TEST_SERVERS_DIR) + "/" + script, "--port-file",
                      ServerPath(port_file)});
    auto process = std::make_unique<ChildProcess>(arguments, output);
    std::optional<std::string> port_text;
    const bool started = WaitUntil(
        *process, [&] { return (port_text = ReadFile(port_file)).has_value(); }, kStartTimeoutMs);
    if (!started) {
        throw std::runtime_error(script + " did not start: " + ReadFile(output).value_or(""));
    }
    *port = std::stoi(*port_text);
    return process;
}

HttpAnswer HttpAnswer::Text(int status, std::string body) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

HttpAnswer HttpAnswer::Redirect(int status, const std::string& location, std::string body) {
    HttpAnswer answer = Text(status, std::move(body));
    answer.headers.emplace_back("Location", location);
    return answer;
}

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
    for (const auto& header : headers) {
        const auto colon = header.find(':');
        if (colon == name.size() && strncasecmp(header.c_str(), name.c_str(), colon) == 0) {
            const auto start = header.find_first_not_of(' ', colon + 1);
            return start == std::string::npos ? "" : header.substr(start);
        }
    }
    return std::nullopt;
}

ScriptedHttpServer::ScriptedHttpServer(const std::string& root, int port)
    : folder_("kelres-http-") {
    WriteScript();
    std::vector<std::string> arguments = {"--script",      ServerPath(folder_ / "script.json"),
                                          "--log",         ServerPath(folder_ / "requests.log"),
                                          "--connections", ServerPath(folder_ / "connections.log"),
                                          "--port",        std::to_string(port)};
    if (!root.empty()) {
        arguments.insert(arguments.end(), {"--root", ServerPath(root)});
    }
    process_ = StartPythonServer("scripted_http_server.py", arguments, folder_, &port_);
}

ScriptedHttpServer::~ScriptedHttpServer() {
    process_.reset();  // stopped before its folder goes
}

std::string ScriptedHttpServer::Url(const std::string& target) const {
    return std::string("http://") + kHost + ":" + std::to_string(port_) + target;
}

void ScriptedHttpServer::Answer(const std::string& target, const HttpAnswer& answer) {
    answers_[target] = answer;
    WriteScript();
}

void ScriptedHttpServer::AnswerFilesWith(const HttpAnswer& answer) {
    file_answer_ = answer;
    WriteScript();
}

void ScriptedHttpServer::ClearAnswers() {
    answers_.clear();
    file_answer_.reset();
    WriteScript();
}

// The server reads the script at every request; a rename makes each version appear whole.
void ScriptedHttpServer::WriteScript() {
    std::string json = "{\"answers\":{";
    bool first = true;
    for (const auto& [target, answer] : answers_) {
        if (!first) {
            json += ',';
        }
        json += JsonString(target);
        json += ':';
        json += JsonAnswer(answer);
        first = false;
    }
    json += "}";
    if (file_answer_) {
        json += ",\"root_answer\":" + JsonAnswer(*file_answer_);
    }
    json += "}";
    const std::string temp = folder_ / "script.json.tmp";
    WriteFile(temp, json);
    std::filesystem::rename(temp, folder_ / "script.json");
}

std::vector<RecordedRequest> ScriptedHttpServer::Requests() const {
    std::vector<RecordedRequest> requests;
    std::istringstream log(ReadFile(folder_ / "requests.log").value_or(""));
    std::string line;
    RecordedRequest current;
    while (std::getline(log, line)) {
        if (line.rfind("R ", 0) == 0) {
            current = RecordedRequest{line.substr(2), {}};
        } else if (line.rfind("H ", 0) == 0) {
            current.headers.push_back(line.substr(2));
        } else if (line == "E") {
            requests.push_back(current);
        }
    }
    return requests;
}

std::vector<std::string> ScriptedHttpServer::RequestLines() const {
    std::vector<std::string> lines;
    for (const auto& request : Requests()) {
        lines.push_back(request.line);
    }
    return lines;
}

std::size_t ScriptedHttpServer::Connections() const {
    const std::string log = ReadFile(folder_ / "connections.log").value_or("");
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
}

void ScriptedHttpServer::ClearRecords() {
    WriteFile(folder_ / "requests.log", "");
    WriteFile(folder_ / "connections.log", "");
}

std::string ScriptedHttpServer::PatternBody(std::size_t size, std::size_t offset) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = offset + i;
        body[i] = static_cast<char>((at * 7 + at / 251) % 256);
    }
    return body;
}

NginxServer::NginxServer(const std::string& root) : folder_("kelres-nginx-") {
    const std::string dir = ServerPath(folder_.path());
    // A port found free may be taken before nginx binds it; then try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        std::ostringstream config;
        config << "daemon off;\n"
               << "master_process off;\n"
               << "worker_processes 1;\n"
               << "pid " << dir << "/nginx.pid;\n"
               << "error_log " << dir << "/error.log warn;\n"
               << "events { worker_connections 1024; }\n"
               << "http {\n"
               << "  access_log off;\n"
               << "  client_body_temp_path " << dir << "/client_body;\n"
               << "  proxy_temp_path " << dir << "/proxy;\n"
               << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
               << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
               << "  scgi_temp_path " << dir << "/scgi;\n"
               << "  default_type application/octet-stream;\n"
               << "  sendfile on;\n"
               << "  tcp_nopush on;\n"
               << "  keepalive_timeout 65;\n"
               << "  server {\n"
               << "    listen " << kHost << ":" << port_ << ";\n"
               << "    server_name localhost;\n"
               << "    root " << ServerPath(root) << ";\n"
               << "    location / { }\n"
               << "  }\n"
               << "}\n";
        WriteFile(folder_ / "nginx.conf", config.str());
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kNginx, "-p", dir + "/", "-c", dir + "/nginx.conf", "-e",
                                     dir + "/error.log"},
            folder_ / "nginx.out");
        if (WaitUntil(
                *process_, [&] { return Listening(port_); }, kStartTimeoutMs)) {
            return;
        }
        process_.reset();
    }
    throw std::runtime_error(
        "nginx did not start: " + ReadFile(folder_ / "error.log").value_or("") +
        ReadFile(folder_ / "nginx.out").value_or(""));
}

NginxServer::~NginxServer() {
    process_.reset();
}

std::string NginxServer::Url(const std::string& target) const {
    return std::string("http://") + kHost + ":" + std::to_string(port_) + target;
}

}  // namespace kel::test
