// ferrolith.cli.vitrine: the `vitrine` command, a web viewer for a structure database.
#include "ferrolith/_binding/binding.hpp"

namespace py = pybind11;
namespace fb = ferrolith::binding;
using namespace pybind11::literals;

namespace {

fb::Globals globals;

constexpr const char* kCommand = "vitrine";
constexpr const char* kHelp = "A web application with database integration.";

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

void run_main(py::object args) {
    py::object app = globals["ASEDBApp"](
        args.attr("db"), "name"_a = args.attr("name"), "templates"_a = args.attr("templates"),
        "static"_a = args.attr("static"), "default_columns"_a = args.attr("columns"),
        "title"_a = args.attr("title"));
    globals["create_protected_app"](app);
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
server stops; every failure propagates.)doc");
}
