#include "backend/table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

std::unique_ptr<Backend> x11_backend();
std::unique_ptr<Backend> wayland_backend();
std::unique_ptr<Backend> offscreen_backend();
std::string wayland_inject_refusal();
std::string offscreen_inject_refusal();

namespace {

bool named(const std::function<const char *(const char *)> &env, const char *variable)
{
    const char *value = env(variable);
    return value && *value;
}

std::string can_inject()
{
    return "";
}

}  // namespace

const std::vector<BackendRow> &backend_table()
{
    // X11 first: where DISPLAY is set, a Wayland session's Xwayland
    // included, the run goes to X11, whose GLUT options and XTest presses a
    // command line may use; with neither session named, X11 says that there
    // is no display. Offscreen is never guessed: it shows nothing, and is
    // asked for by name.
    static const std::vector<BackendRow> rows = {
        {"x11", [](const auto &env) { return named(env, "DISPLAY"); }, x11_backend,
         {"-display", "-geometry"}, {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"}, can_inject},
        {"wayland", [](const auto &env) { return named(env, "WAYLAND_DISPLAY"); }, wayland_backend, {}, {},
         wayland_inject_refusal},
        {"offscreen", [](const auto &) { return false; }, offscreen_backend, {}, {}, offscreen_inject_refusal},
    };
    return rows;
}

const BackendRow *choose_backend(const std::string &asked, const std::function<const char *(const char *)> &env)
{
    const std::vector<BackendRow> &rows = backend_table();
    for (const BackendRow &row : rows)
        if (asked == row.name || ((asked.empty() || asked == "auto") && row.probe(env)))
            return &row;
    return asked.empty() || asked == "auto" ? &rows.front() : nullptr;
}

std::string backend_words(const char *joint, const char *last_joint)
{
    std::string words = "auto";
    const std::vector<BackendRow> &rows = backend_table();
    for (size_t i = 0; i < rows.size(); ++i)
        words += (i + 1 < rows.size() ? joint : last_joint) + std::string(rows[i].name);
    return words;
}

int option_words(const char *arg, const BackendRow *row)
{
    int words = 0;
    for (const BackendRow &each : backend_table()) {
        if (row && row != &each)
            continue;
        for (const char *name : each.valued_options)
            words = strcmp(arg, name) == 0 ? 2 : words;
        for (const char *name : each.flag_options)
            words = strcmp(arg, name) == 0 ? std::max(words, 1) : words;
    }
    return words;
}

std::vector<char *> own_options(const BackendRow &row, const std::vector<char *> &taken)
{
    std::vector<char *> own;
    for (size_t i = 0; i < taken.size();) {
        size_t words = std::min(size_t(std::max(option_words(taken[i]), 1)), taken.size() - i);
        if (option_words(taken[i], &row))
            own.insert(own.end(), taken.begin() + long(i), taken.begin() + long(i + words));
        i += words;
    }
    return own;
}
