// The manual page and the bash completion script, written from the command table and the
// global options as registered with CLI11.
#include "tools/manual.h"

#include <sstream>

#include "tools/command_table.h"

namespace tools {
namespace {

// troff takes a leading dot or quote as a request and a backslash as an escape.
std::string Troff(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) {
        out = "\\&" + out;
    }
    return out;
}

// A paragraph per blank-line-separated part of a description.
void Paragraphs(std::ostringstream& out, const std::string& text)
{
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\n\n", start);
        out << ".PP\n" << Troff(text.substr(start, end - start)) << "\n";
        start = end == std::string::npos ? text.size() : end + 2;
    }
}

std::string Synopsis(const CommandSpec& command)
{
    std::string words;
    for (const ArgSpec& arg : command.args) {
        const std::string name = arg.name;
        std::string shown = arg.kind == ArgKind::Number && name[0] == '-'
                                ? name.substr(name.rfind(',') + 1) + " N"
                                : name.substr(name.rfind(',') + 1);
        words += " " + (arg.required ? shown : "[" + shown + "]");
    }
    return words;
}

std::vector<std::string> GlobalOptions(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& s : option->get_snames()) {
            names.push_back("-" + s);
        }
        for (const std::string& l : option->get_lnames()) {
            names.push_back("--" + l);
        }
    }
    return names;
}

}  // namespace

std::string ManualPage(const CLI::App& app)
{
    std::ostringstream out;
    out << ".TH VELMTAPE 1 \"\" \"velmtape " << VELMTAPE_VERSION << "\" \"User Commands\"\n"
        << ".SH NAME\nvelmtape \\- tape requests through the VELMDAT driver, mt style\n"
        << ".SH SYNOPSIS\n.B velmtape\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n"
        << ".SH DESCRIPTION\n";
    Paragraphs(out, app.get_description());
    out << ".SH OPTIONS\n";
    for (const CLI::Option* option : app.get_options()) {
        out << ".TP\n.B " << Troff(option->get_name(false, true))
            << (option->get_items_expected_min() > 0 ? " \\fI" + option->get_type_name() + "\\fR"
                                                     : "")
            << "\n"
            << Troff(option->get_description()) << "\n";
    }
    out << ".SH COMMANDS\n";
    for (const CommandSpec& command : Commands()) {
        out << ".TP\n.B " << command.name << "\\fR" << Troff(Synopsis(command)) << "\n"
            << Troff(command.help) << "\n";
        if (!command.aliases.empty()) {
            out << ".br\nAlso:";
            for (const Alias& alias : command.aliases) {
                out << " \\fB" << alias.name << "\\fR";
                for (const std::string& word : alias.preset) {
                    out << " (" << Troff(command.name) << " " << Troff(word) << ")";
                }
            }
            out << "\n";
        }
        for (const ArgSpec& arg : command.args) {
            out << ".RS\n.TP\n.I " << Troff(arg.name) << "\n" << Troff(arg.help) << "\n.RE\n";
        }
    }
    for (const RefusedName& refused : RefusedNames()) {
        out << ".TP\n.B " << refused.name << "\nRefused: " << Troff(refused.why) << ".\n";
    }
    out << ".SH ENVIRONMENT\n.TP\n.B TAPE\nThe cartridge or device when \\-f is not given; "
           "set but empty is an error.\n"
        << ".SH SEE ALSO\n.BR mt (1)\n";
    return out.str();
}

std::string BashCompletion(const CLI::App& app)
{
    std::string commands;
    std::ostringstream cases;
    for (const CommandSpec& command : Commands()) {
        std::string names = command.name;
        commands += std::string(commands.empty() ? "" : " ") + command.name;
        for (const Alias& alias : command.aliases) {
            commands += std::string(" ") + alias.name;
            names += std::string("|") + alias.name;
        }
        std::string options;
        bool file = false;
        for (const ArgSpec& arg : command.args) {
            const std::string name = arg.name;
            if (name[0] == '-') {
                options += " " + name.substr(name.rfind(',') + 1);
            }
            file = file || arg.kind == ArgKind::File;
            if (arg.kind == ArgKind::OnOff) {
                options += " on off";
            }
        }
        cases << "        " << names << ") words=\"" << options.substr(options.empty() ? 0 : 1)
              << "\"; files=" << (file ? 1 : 0) << " ;;\n";
    }
    std::string globals;
    for (const std::string& name : GlobalOptions(app)) {
        globals += (globals.empty() ? "" : " ") + name;
    }
    std::ostringstream out;
    out << "# bash completion for velmtape, made by 'velmtape --bash-completion'\n"
        << "_velmtape()\n{\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local i command= words= files=0\n"
        << "    if [[ $prev == -f || $prev == --file ]]; then\n"
        << "        COMPREPLY=($(compgen -f -- \"$cur\")); return\n    fi\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n"
        << "        -f|--file|--wait) ((i++)) ;;\n"
        << "        -*) ;;\n"
        << "        *) command=${COMP_WORDS[i]}; break ;;\n"
        << "        esac\n    done\n"
        << "    if [[ -z $command ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"" << commands << " " << globals
        << "\" -- \"$cur\")); return\n    fi\n"
        << "    case $command in\n"
        << cases.str() << "    esac\n"
        << "    COMPREPLY=($(compgen -W \"$words --help\" -- \"$cur\"))\n"
        << "    if ((files)); then COMPREPLY+=($(compgen -f -- \"$cur\")); fi\n"
        << "}\ncomplete -F _velmtape velmtape\n";
    return out.str();
}

}  // namespace tools
