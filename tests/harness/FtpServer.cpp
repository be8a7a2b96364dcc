#include "harness/FtpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>

namespace kel::test {

FtpServer::FtpServer(int port) : folder_("kelres-ftp-") {
    std::filesystem::create_directory(root());
    WriteControl();
    process_ = StartPythonServer(
        "ftp_server.py",
        {"--root", ServerPath(root()), "--log", ServerPath(folder_ / "commands.log"), "--control",
         ServerPath(folder_ / "control.json"), "--port", std::to_string(port)},
        folder_, &port_);
}

FtpServer::~FtpServer() {
    process_.reset();  // stopped before its folder goes
    // A failed transfer is often the server's side of the story (a data connection it could
    // not make, a time-out of its own): its log goes with the failure.
    if (testing::Test::HasFailure()) {
        std::cerr << "FTP server log:\n"
                  << ReadFile(folder_ / "ftp_server.py.out").value_or("(none)") << "\n";
    }
}

void FtpServer::RefuseStores(const std::string& message) {
    refuse_store_ = message;
    WriteControl();
}

void FtpServer::RefuseLogins(bool refuse) {
    refuse_login_ = refuse;
    WriteControl();
}

void FtpServer::StallStores(bool stall) {
    stall_store_ = stall;
    WriteControl();
}

// The server reads the file at every command; a rename makes each version appear whole.
void FtpServer::WriteControl() {
    std::string json = "{\"refuse_login\":";
    json += refuse_login_ ? "true" : "false";
    json += ",\"stall_store\":";
    json += stall_store_ ? "true" : "false";
    json += ",\"refuse_store\":\"";
    for (const char c : refuse_store_) {
        if (c == '"' || c == '\\') {
            json += '\\';
        }
        json += c;
    }
    json += "\"}";
    const std::string temp = folder_ / "control.json.tmp";
    WriteFile(temp, json);
    std::filesystem::rename(temp, folder_ / "control.json");
}

std::vector<std::string> FtpServer::Commands() const {
    std::vector<std::string> commands;
    std::istringstream log(ReadFile(folder_ / "commands.log").value_or(""));
    std::string line;
    while (std::getline(log, line)) {
        commands.push_back(line);
    }
    return commands;
}

void FtpServer::ClearRecords() {
    WriteFile(folder_ / "commands.log", "");
}

}  // namespace kel::test
