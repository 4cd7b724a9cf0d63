// ferrolith.cli.vitrine: the `vitrine` command, a web viewer for a structure database.
#include "ferrolith/_binding/binding.hpp"

#include <cctype>
#include <string>

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kCommand = "vitrine";
constexpr const char* kHelp = "A web application with database integration.";
// Where create_protected_app records what it set up, among them "auth":
// whether a login is required.
constexpr const char* kProtectionKey = "ferrolith.protection";

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

void register_parser(py::object subparsers) {
    py::object parser =
        subparsers.attr("add_parser")(kCommand, "help"_a = kHelp, "description"_a = kHelp,
                                      "formatter_class"_a = globals["CombinedFormatter"]);
    py::object str_type = py::module_::import("builtins").attr("str");
    py::object int_type = py::module_::import("builtins").attr("int");
    parser.attr("add_argument")("db", "help"_a = "Path to the database file.");
    parser.attr("add_argument")("--host", "default"_a = "0.0.0.0",
                                "help"_a = "The host IP address to run the server on.");
    parser.attr("add_argument")("--port", "type"_a = int_type, "default"_a = 80,
                                "help"_a = "The port to run the server on.");
    parser.attr("add_argument")("--templates", "type"_a = str_type,
                                "help"_a = "The path to the templates directory.");
    parser.attr("add_argument")("--static", "type"_a = str_type,
                                "help"_a = "The path to the static directory.");
    parser.attr("add_argument")("--name", "type"_a = str_type, "default"_a = "default",
                                "help"_a = "The name of the project.");
    parser.attr("add_argument")("--title", "type"_a = str_type, "default"_a = "Ferrolith",
                                "help"_a = "The title of the database.");
    parser.attr("add_argument")("--columns", "nargs"_a = "*",
                                "help"_a = "List of columns to show.");
    parser.attr("add_argument")("--debug", "action"_a = "store_true",
                                "help"_a = "Enable debug mode, which uses the development server.");
    parser.attr("set_defaults")("command"_a = kCommand);
}

// Whether a server bound to `host` answers other machines: every address but
// the loopback ones (127.0.0.0/8, ::1) and the name localhost; an empty host
// means every interface. A name is resolved as the server will resolve it;
// one that does not resolve cannot be bound, so it is not reported here.
bool reachable_from_outside(py::handle host) {
    std::string text = py::str(host).cast<std::string>();
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (text.empty()) {
        return true; // servers read an empty host as every interface
    }
    const std::string name = lower(text);
    if (name == "localhost" || name == "localhost." ||
        (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0)) {
        return false;
    }
    py::object ip_address = py::module_::import("ipaddress").attr("ip_address");
    try {
        return !py::bool_(ip_address(text).attr("is_loopback"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
    }
    py::list found;
    try {
        found = py::module_::import("socket").attr("getaddrinfo")(text, py::none());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
        return false;
    }
    for (py::handle entry : found) {
        py::object address = entry[py::int_(4)][py::int_(0)];
        // An IPv6 address may carry its zone ("fe80::1%eth0").
        py::object bare = address.attr("split")("%")[py::int_(0)];
        if (!py::bool_(ip_address(bare).attr("is_loopback"))) {
            return true;
        }
    }
    return false;
}

// Whether the protected application asks for a login: None when it does not
// say (an application that create_protected_app did not record).
py::object login_required(py::handle app) {
    py::object extensions = py::getattr(app, "extensions", py::none());
    if (!py::isinstance<py::dict>(extensions)) {
        return py::none();
    }
    py::object record = extensions.attr("get")(kProtectionKey);
    if (!py::isinstance<py::dict>(record) || !record.contains("auth")) {
        return py::none();
    }
    return py::bool_(record[py::str("auth")]);
}

void run_main(py::object args) {
    py::object app = globals["ASEDBApp"](
        args.attr("db"), "name"_a = args.attr("name"), "templates"_a = args.attr("templates"),
        "static"_a = args.attr("static"), "default_columns"_a = args.attr("columns"),
        "title"_a = args.attr("title"));
    globals["create_protected_app"](app);
    py::object login = login_required(app);
    if (!login.is_none() && !py::bool_(login) && reachable_from_outside(args.attr("host"))) {
        fb::print_stderr_line(
            "ferrolith vitrine: warning: no login is set and the server listens on " +
            py::str(args.attr("host")).cast<std::string>() +
            ": the database is readable by anyone who can reach port " +
            py::str(args.attr("port")).cast<std::string>() +
            " (set FERROLITH_VITRINE_USER and FERROLITH_VITRINE_PASSWORD_HASH to require a "
            "login, or serve on --host 127.0.0.1).");
    }
    if (py::bool_(args.attr("debug"))) {
        app.attr("run")("host"_a = args.attr("host"), "port"_a = args.attr("port"),
                        "debug"_a = true);
    } else {
        app.attr("run_server")("host"_a = args.attr("host"), "port"_a = args.attr("port"));
    }
}

} // namespace

PYBIND11_MODULE(vitrine, m) {
    globals = fb::Globals(m);
    m.doc() = R"doc(The ``vitrine`` command: serve a structure database as a web application.

``ferrolith vitrine structures.db`` builds the application (``ASEDBApp``),
hardens it (``create_protected_app``) and serves it with the production WSGI
server; ``--debug`` uses the development server with reloading instead.)doc";

    // Resolved at call time, so they can be replaced on the module.
    m.attr("CombinedFormatter") = py::module_::import("ferrolith.cli").attr("CombinedFormatter");
    m.attr("ASEDBApp") = py::module_::import("ferrolith.data.db").attr("ASEDBApp");
    m.attr("create_protected_app") =
        py::module_::import("ferrolith.gui").attr("create_protected_app");

    m.def("register_parser", &register_parser, "subparsers"_a,
          R"doc(Adds the ``vitrine`` sub-parser and its options to `subparsers`.)doc");
    m.def("main", &run_main, "args"_a,
          R"doc(Builds the application from the parsed options, protects it and serves it.

With ``args.debug`` the development server runs (``run(host, port, debug=True)``);
otherwise the production server (``run_server(host, port)``). Returns when the
server stops; every failure propagates. Serving on an address other machines
can reach (the default 0.0.0.0 among them) without a login prints one
warning on standard error first.)doc");
}
