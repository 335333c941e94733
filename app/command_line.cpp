#include "app/command_line.h"

#include <cstdio>
#include <string>

#include "log/setup_log.h"

namespace {

enum class option_kind { silent, verbose, force, all, discover, upgrade, help };

struct option_spelling {
    const char* short_form;
    const char* long_form;
    option_kind kind;
};

// Checked in this order; the first row that matches decides.
constexpr option_spelling option_table[] = {
    {"/s", "/silent", option_kind::silent},     {"/v", "/verbose", option_kind::verbose},
    {"/f", "/force", option_kind::force},       {"/a", "/all", option_kind::all},
    {"/d", "/discover", option_kind::discover}, {"/u", "/upgrade", option_kind::upgrade},
    {"/h", "/help", option_kind::help},
};

const option_spelling* find_option(const std::string& argument) {
    for (const option_spelling& option : option_table) {
        if (same_ignoring_case(argument, option.short_form) || same_ignoring_case(argument, option.long_form)) {
            return &option;
        }
    }
    return nullptr;
}

void set_flag(option_kind kind, command_options& options) {
    switch (kind) {
        case option_kind::silent: options.silent = 1; break;
        case option_kind::verbose: options.verbose = 1; break;
        // "/f" is accepted and does nothing: deployment scripts written for
        // earlier releases still pass it.
        case option_kind::force: break;
        case option_kind::all: options.all = 1; break;
        case option_kind::discover: options.discover = 1; break;
        case option_kind::upgrade: options.upgrade = 1; break;
        case option_kind::help: options.help = 1; break;
    }
}

bool takes_path(option_kind kind) { return kind == option_kind::discover || kind == option_kind::upgrade; }

// The spellings other command-line tools use, exactly as written: they are
// answered and nothing else is done.
bool takes_gnu_option(const narrow_argument& argument, command_options& options) {
    if (argument.text == "--version" || argument.text == "-V") {
        options.show_version = 1;
        return true;
    }
    if (argument.text == "--help" || argument.text == "-h") {
        options.show_help = 1;
        return true;
    }
    if (argument.text == "--list" || argument.text == "-l") {
        options.show_list = 1;
        return true;
    }
    if (argument.text == "--history") {
        options.show_history = 1;
        return true;
    }
    if (argument.text == "--json") {
        options.as_json = 1;
        return true;
    }
    return false;
}

// The option spelling an argument begins with when it goes on with "=" or
// ":" ("/d=out.xml"), the way other programs take a value; nullptr otherwise.
const option_spelling* option_with_value(const std::string& argument) {
    const std::size_t cut = argument.find_first_of("=:");
    if (cut == std::string::npos) return nullptr;
    return find_option(argument.substr(0, cut));
}

// Why an argument matches no option, in one line.
std::string not_an_option(const narrow_argument& argument) {
    if (!argument.fits) return "an argument is longer than 511 characters";
    const std::string shown = escaped_text(argument.text);
    const option_spelling* option = option_with_value(argument.text);
    if (option && takes_path(option->kind)) return shown + " is not an option; the path follows as the next argument";
    if (option) return shown + " is not an option; " + option->short_form + " takes no value";
    if (argument.text.rfind("--", 0) == 0 || argument.text.rfind('-', 0) == 0) {
        return shown + " is not an option; options begin with \"/\" (see /h)";
    }
    return shown + " is not an option";
}

std::string path_missing(const narrow_argument& option, const narrow_argument* next) {
    const std::string shown = escaped_text(option.text);
    if (next == nullptr) return shown + " needs the path of an XML document as the next argument";
    if (!next->fits) return shown + ": the path is longer than 511 characters";
    return shown + " needs the path of an XML document as the next argument, not " + escaped_text(next->text) +
           " (a path cannot begin with \"-\")";
}

}  // namespace

void scan_arguments(const std::vector<narrow_argument>& arguments, command_options& options) {
    const std::size_t count = arguments.size();
    for (std::size_t p = 0; p < count; ++p) {
        const narrow_argument& argument = arguments[p];
        if (p > 0 && takes_gnu_option(argument, options)) continue;
        if (p > 0 && argument.text == "--check-catalogue") {
            if (p + 1 >= count || !arguments[p + 1].fits || arguments[p + 1].text.empty()) {
                options.syntax_error = 1;
                return;
            }
            options.check_catalogue = 1;
            copy_text(options.check_folder, arguments[++p].text);
            continue;
        }
        // An argument too long for its slot matches nothing; it is never cut.
        const option_spelling* option = argument.fits ? find_option(argument.text) : nullptr;
        if (!option) {
            if (p > 0) {
                options.syntax_error = 1;
                options.syntax_problems.push_back(not_an_option(argument));
            }
            continue;
        }
        if (!takes_path(option->kind)) {
            set_flag(option->kind, options);
            continue;
        }
        // The path must follow as its own argument and must not look like an option.
        if (p + 1 >= count || arguments[p + 1].text.rfind('-', 0) == 0 || !arguments[p + 1].fits) {
            options.syntax_error = 1;
            options.syntax_problems.push_back(path_missing(argument, p + 1 < count ? &arguments[p + 1] : nullptr));
            return;
        }
        copy_text(options.xml_path, arguments[p + 1].text);
        set_flag(option->kind, options);
        ++p;  // the path is consumed
    }
    if (options.as_json == 1 && options.show_list == 0 && options.show_history == 0) {
        options.syntax_error = 1;
        options.syntax_problems.push_back("--json goes with --list or --history");
    }
    if (options.show_list == 1 && options.show_history == 1) {
        options.syntax_error = 1;
        options.syntax_problems.push_back("--list and --history cannot be given together");
    }
}

int parse_command_line(command_options& options) {
    std::vector<narrow_argument> arguments;
    if (!process_arguments(arguments)) return 0;
    if (arguments.size() > static_cast<std::size_t>(max_command_arguments)) {
        std::printf("Only %d arguments supported. Extra arguments will be ignored\n", max_command_arguments);
        arguments.resize(max_command_arguments);
    }
    scan_arguments(arguments, options);
    return 0;
}

namespace {

// The text is kept letter for letter, "exeuction" included: deployment tools
// compare the usage text they capture.
text_field<1024> usage_text() {
    text_field<1024> usage{};
    format_text(usage, "%s%s%s%s%s%s%s%s",
                "Usage: VXxxxxxx.exe [options] \n",
                "[options]\n",
                " /d /discover =<xml file path+name>\tDiscover and place results in xml file.\n",
                " /u /upgrade  =<xml file path+name>\tUpgrade from selected tape drives in xml file.\n",
                " /a /all\t\t\t\t\t\t\tDiscover and upgrade all tape drives.\n",
                " /s /silent\t\t\t\t\t\t\tSilent exeuction.\n",
                " /v /verbose\t\t\t\t\t\tVerbose exeuction.\n",
                " /h /help\t\t\t\t\t\t\tDisplay this usage information.\n");
    return usage;
}

}  // namespace

void print_syntax_problems(const command_options& options) {
    for (const std::string& problem : options.syntax_problems) std::fprintf(stderr, "kvtapefw: %s\n", problem.c_str());
}

void print_usage() { report("%s", usage_text().data()); }

void print_help() {
    std::printf("%s", usage_text().data());
    std::printf("The manual page kvtapefw(8) tells the whole story.\n");
}

void print_version() { std::printf("kvtapefw %s\n", KVTAPEFW_VERSION); }
