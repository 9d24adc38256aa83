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
    // X11 first: with DISPLAY set, or with neither session named, every run
    // that ever worked on X11 stays there. Offscreen is never guessed: it
    // shows nothing, and is asked for by name.
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

int option_words(const BackendRow &row, const char *arg)
{
    for (const char *name : row.valued_options)
        if (strcmp(arg, name) == 0)
            return 2;
    for (const char *name : row.flag_options)
        if (strcmp(arg, name) == 0)
            return 1;
    return 0;
}

std::vector<char *> own_options(const BackendRow &row, const std::vector<char *> &taken)
{
    std::vector<char *> own;
    for (size_t i = 0; i < taken.size();) {
        int words = 0;
        for (const BackendRow &each : backend_table())
            words = std::max(words, option_words(each, taken[i]));
        words = std::max(words, 1);
        if (option_words(row, taken[i]))
            own.insert(own.end(), taken.begin() + long(i), taken.begin() + long(std::min(i + size_t(words), taken.size())));
        i += size_t(words);
    }
    return own;
}
