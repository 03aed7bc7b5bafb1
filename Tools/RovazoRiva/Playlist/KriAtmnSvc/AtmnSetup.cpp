#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSetup.h"

#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "Platform/Module.h"
#include "Platform/ServiceData.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);

// Paths are UTF-8 throughout; on Windows a narrow std::filesystem::path would take the ANSI code
// page instead.
fs::path fsPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string within(const std::string& directory, const char* name) {
    return directory + kSeparator + name;
}

bool validPort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

bool readWhole(const std::string& path, std::string& text) {
    std::ifstream in(fsPath(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return in.good() || in.eof();
}

// Writes the file under a temporary name and renames it, so that a failed write leaves no
// partial configuration that a later installation would keep.
bool writeNew(const std::string& path, const std::string& text, std::string& reason) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(fsPath(temporary), std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            reason = "cannot write " + temporary;
            std::error_code ignored;
            fs::remove(fsPath(temporary), ignored);
            return false;
        }
    }
    std::error_code error;
    fs::rename(fsPath(temporary), fsPath(path), error);
    if (error) {
        reason = "cannot rename " + temporary + " to " + path + ": " + error.message();
        fs::remove(fsPath(temporary), error);
        return false;
    }
    return true;
}

}  // namespace

std::string AtmnSetup::configurationPath() const {
    return within(dataDirectory, "KriAtmnSvc.xml");
}

std::string AtmnSetup::configurationText(const SetupValues& values, std::string& reason) const {
    if (values.serverAddress.empty()) {
        reason = "the server's address is empty";
    } else if (!validPort(values.serverPort)) {
        reason = "the server's port \"" + values.serverPort + "\" is not a number from 1 to 65535";
    } else if (values.studioId.empty() || values.studioName.empty()) {
        reason = "the studio's id and name must not be empty";
    }
    if (!reason.empty()) {
        return {};
    }
    const std::string certs = within(dataDirectory, "certs");
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    document.append_child(pugi::node_comment)
        .set_value(
            " Made by the installer. Put the automation vendor's ProgId into \"Automation\" and "
            "the studio's certificates into the folder certs beside this file. ");
    pugi::xml_node root = document.append_child("KriAtmnSvc");
    pugi::xml_node automation = root.append_child("Automation");
    automation.append_attribute("progid") = "Kri.AtmnSimulator";
    pugi::xml_node simulator = automation.append_child("Simulator");
    simulator.append_attribute("speed") = "1";
    simulator.append_attribute("repeat") = "forever";
    simulator.append_attribute("scenario") = within(programDirectory, "studio-hour.xml").c_str();
    pugi::xml_node server = root.append_child("AggrServer");
    server.append_attribute("ip") = values.serverAddress.c_str();
    server.append_attribute("port") = values.serverPort.c_str();
    server.append_child("SslCfktFile").text() = within(certs, "client.crt").c_str();
    server.append_child("SslKeyFile").text() = within(certs, "client.key").c_str();
    server.append_child("SslCAFile").text() = within(certs, "ca.crt").c_str();
    server.append_child("Delivery").append_attribute("spoolDir") =
        within(dataDirectory, "spool").c_str();
    pugi::xml_node studio = root.append_child("Studio");
    studio.append_attribute("id") = values.studioId.c_str();
    studio.append_attribute("name") = values.studioName.c_str();
    std::ostringstream text;
    document.save(text, "  ");
    return text.str();
}

bool AtmnSetup::prepare(const SetupValues& values, std::string& report, std::string& reason) const {
    for (const std::string& directory :
         {dataDirectory, within(dataDirectory, "certs"), within(dataDirectory, "spool")}) {
        reason = platform::makeProtectedDirectory(directory);
        if (!reason.empty()) {
            return false;
        }
    }
    report += "Folders " + dataDirectory + ", certs and spool are in place.\n";
    const std::string path = configurationPath();
    std::error_code error;
    const bool exists = fs::exists(fsPath(path), error);
    if (error) {
        reason = "cannot tell whether " + path + " exists: " + error.message();
        return false;
    }
    if (exists) {
        report += "The configuration " + path + " exists and is kept.\n";
        return true;
    }
    std::string text;
    if (!values.configFrom.empty()) {
        pugi::xml_document parsed;
        if (!readWhole(values.configFrom, text)) {
            reason = "cannot read the configuration " + values.configFrom;
            return false;
        }
        if (const pugi::xml_parse_result result = parsed.load_string(text.c_str()); !result) {
            reason = "the configuration " + values.configFrom +
                     " is no XML document: " + result.description() + " at offset " +
                     std::to_string(result.offset);
            return false;
        }
    } else {
        text = configurationText(values, reason);
        if (text.empty()) {
            return false;
        }
    }
    if (!writeNew(path, text, reason)) {
        return false;
    }
    report += values.configFrom.empty()
                  ? "The configuration " + path + " is made from the server and studio values.\n"
                  : "The configuration " + path + " is a copy of " + values.configFrom + ".\n";
    return true;
}

bool AtmnSetup::purge(std::string& reason) const {
    std::error_code error;
    fs::remove_all(fsPath(dataDirectory), error);
    if (error) {
        reason = "cannot remove " + dataDirectory + ": " + error.message();
        return false;
    }
    return true;
}

int runSetupCommand(int argc, char** argv) {
    char program[1024];
    const size_t length = platform::moduleFileName(program, sizeof program);
    const std::string programPath(program, length);
    const size_t slash = programPath.find_last_of("/\\");
    const AtmnSetup setup(platform::serviceDataDirectory(),
                          slash == std::string::npos ? "." : programPath.substr(0, slash));
    std::string reason;
    if (std::strcmp(argv[1] + 1, "purge") == 0) {
        if (argc != 2) {
            std::fprintf(stderr, "KriAtmnSvc -purge: no arguments expected\n");
            return 2;
        }
        if (!setup.purge(reason)) {
            std::fprintf(stderr, "KriAtmnSvc -purge: %s\n", reason.c_str());
            return 1;
        }
        std::printf("Removed %s.\n", platform::serviceDataDirectory().c_str());
        return 0;
    }
    SetupValues values;
    const struct {
        const char* name;
        std::string SetupValues::*field;
    } options[] = {{"-config-from", &SetupValues::configFrom},
                   {"-server", &SetupValues::serverAddress},
                   {"-port", &SetupValues::serverPort},
                   {"-studio-id", &SetupValues::studioId},
                   {"-studio-name", &SetupValues::studioName}};
    // An option given twice is refused: a value with a quotation mark, which the installer's
    // command line cannot carry, shows as one.
    bool given[std::size(options)] = {};
    for (int i = 2; i < argc; i += 2) {
        size_t known = std::size(options);
        for (size_t o = 0; o < std::size(options); ++o) {
            if (std::strcmp(argv[i], options[o].name) == 0 && i + 1 < argc && !given[o]) {
                known = o;
            }
        }
        if (known == std::size(options)) {
            std::fprintf(stderr,
                         "KriAtmnSvc -setup: unexpected argument \"%s\" (an option without its "
                         "value, given twice, or a value with a quotation mark)\n",
                         argv[i]);
            return 2;
        }
        given[known] = true;
        if (argv[i + 1][0] != '\0') {
            values.*options[known].field = argv[i + 1];
        }
    }
    std::string report;
    if (!setup.prepare(values, report, reason)) {
        std::fputs(report.c_str(), stdout);
        std::fprintf(stderr, "KriAtmnSvc -setup: %s\n", reason.c_str());
        return 1;
    }
    std::fputs(report.c_str(), stdout);
    return 0;
}
