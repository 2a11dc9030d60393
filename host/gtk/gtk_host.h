#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace host::gtk {

// The binding on GTK 3 and WebKitGTK: real windows, real engine, the GLib main loop. This
// header stays free of GTK so the program's entry point does not depend on it.
class GtkHost final : public Host {
public:
    GtkHost(int& argc, char**& argv);
    ~GtkHost() override;

    struct State;

private:
    std::unique_ptr<NativeWindow> createWindowImpl(const std::string& formName, const FormDesign& design,
                                                   NativeEvents& events) override;
    void runLoopImpl(Loop loop, const std::function<bool()>& done) override;
    void pumpImpl() override;
    [[noreturn]] void endProgramImpl(int status) override;
    [[noreturn]] void reportRuntimeErrorImpl(const std::string& message) override;
    void showMessageImpl(const std::string& text) override;
    std::string programFolderImpl() override;
    Twips screenWidthImpl() override;
    Twips screenHeightImpl() override;

    std::unique_ptr<State> state_;
};

}  // namespace host::gtk
