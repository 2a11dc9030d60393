#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "host/headless/headless_host.h"
#include "store/server_address_file.h"

namespace testsupport {

namespace fs = std::filesystem;

// The whole program on the headless host, in a program folder of its own.
class ProgramTest : public testing::Test {
protected:
    ProgramTest() {
        std::string pattern = (fs::temp_directory_path() / "rozidarude-program-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
    }
    ~ProgramTest() override {
        program_.reset();
        host_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    void makeProgram(host::headless::ScreenFacts screen = {}) {
        host_ = std::make_unique<host::headless::HeadlessHost>(folder_.string(), screen);
        file_ = std::make_unique<store::ServerAddressFile>([this] { return host_->ProgramFolder(); }, calls_);
        program_ = std::make_unique<app::Program>(*host_, *file_);
    }

    // Starts the program; input for the first run's modal dialog must be queued before.
    void start() {
        if (!host_) makeProgram();
        host_->start(program_->startupForm());
    }

    host::headless::HeadlessHost& host() {
        if (!host_) makeProgram();
        return *host_;
    }

    fs::path filePath() const { return folder_ / "srvset.con"; }
    void writeFile(const std::string& bytes) {
        std::ofstream out(filePath(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::optional<std::string> fileBytes() const {
        if (!fs::exists(filePath())) return std::nullopt;
        std::ifstream in(filePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    const host::headless::HeadlessWindow* window(const char* form) const { return host_->window(form); }
    std::string viewAddress() const {
        auto* form1 = host_->window("Form1");
        return form1 ? form1->currentAddress("WebBrowser1") : std::string("<Form1 not loaded>");
    }
    std::vector<std::string> navigations() const { return linesStartingWith("navigate Form1.WebBrowser1 "); }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : host_->trace())
            if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
        return found;
    }
    bool traced(const std::string& line) const {
        const auto& trace = host_->trace();
        return std::find(trace.begin(), trace.end(), line) != trace.end();
    }
    // Position of a line in the trace, or -1.
    long positionOf(const std::string& line) const {
        const auto& trace = host_->trace();
        auto found = std::find(trace.begin(), trace.end(), line);
        return found == trace.end() ? -1 : static_cast<long>(found - trace.begin());
    }
    std::string traceText() const {
        std::string text;
        for (const auto& line : host_->trace()) text += "  " + line + "\n";
        return text;
    }
    void expectRunning() const {
        EXPECT_FALSE(host_->ended()) << "status " << host_->exitStatus().value_or(-1) << " error "
                                     << host_->runtimeError() << host_->scriptError() << "\n"
                                     << traceText();
        EXPECT_EQ(host_->scriptError(), "") << traceText();
    }

    fs::path folder_;
    // How the program's file reaches the file system; a test may break calls before the start.
    store::FileSystemCalls calls_ = store::FileSystemCalls::system();
    std::unique_ptr<host::headless::HeadlessHost> host_;
    std::unique_ptr<store::ServerAddressFile> file_;
    std::unique_ptr<app::Program> program_;
};

}  // namespace testsupport
