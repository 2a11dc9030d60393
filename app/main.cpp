#include "app/form1.h"
#include "host/gtk/gtk_host.h"
#include "store/server_address_file.h"

int main(int argc, char** argv) {
    host::gtk::GtkHost host(argc, argv);
    store::ServerAddressFile file([&host] { return host.ProgramFolder(); });
    app::Program program(host, file);
    return host.Run(program.startupForm());
}
