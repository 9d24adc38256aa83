#include "backend/table.h"

#include <algorithm>
#include <cstring>

std::unique_ptr<Backend> x11_backend();
std::unique_ptr<Backend> wayland_backend();
std::unique_ptr<Backend> offscreen_backend();
std::string wayland_inject_refusal();
std::string offscreen_inject_refusal();

namespace {

[[maybe_unused]] bool named(const Environment &env, const char *variable)
{
    const char *value = env(variable);
    return value && *value;
}

[[maybe_unused]] std::string no_refusal()
{
    return "";
}

}  // namespace

std::string option_text(const RowOption &option)
{
    return option.value ? std::string(option.name) + " " + option.value : option.name;
}

const std::vector<BackendRow> &backend_table()
{
    // X11 first: with DISPLAY set, or with neither session named, every run
    // that ever worked on X11 stays there. Offscreen is always there, but
    // never guessed: it shows nothing, and is asked for by name.
    static const std::vector<BackendRow> rows = {
#ifdef QUORVEL_HAS_X11
        {"x11", [](const Environment &env) { return named(env, "DISPLAY"); }, true, x11_backend,
         {{"-display", "NAME"}, {"-geometry", "WxH+X+Y"}, {"-direct", nullptr}, {"-indirect", nullptr},
          {"-iconic", nullptr}, {"-gldebug", nullptr}, {"-sync", nullptr}},
         no_refusal},
#endif
#ifdef QUORVEL_HAS_WAYLAND
        {"wayland", [](const Environment &env) { return named(env, "WAYLAND_DISPLAY"); }, true, wayland_backend, {},
         wayland_inject_refusal},
#endif
#ifdef QUORVEL_HAS_OFFSCREEN
        {"offscreen", [](const Environment &) { return true; }, false, offscreen_backend, {}, offscreen_inject_refusal},
#endif
    };
    return rows;
}

const char *left_out_backends()
{
    return QUORVEL_LEFT_OUT;
}

bool left_out(const std::string &name)
{
    return !name.empty() && (", " + std::string(QUORVEL_LEFT_OUT) + ", ").find(", " + name + ", ") != std::string::npos;
}

const BackendRow *choose_backend(const std::string &asked, const Environment &env)
{
    const std::vector<BackendRow> &rows = backend_table();
    bool guess = asked.empty() || asked == "auto";
    for (const BackendRow &row : rows)
        if (asked == row.name || (guess && row.shows && row.probe(env)))
            return &row;
    return guess ? &rows.front() : nullptr;
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
        for (const RowOption &option : each.options)
            if (strcmp(arg, option.name) == 0)
                words = option.value ? 2 : std::max(words, 1);
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

nlohmann::ordered_json backend_list(const Environment &env)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    const BackendRow *guessed = choose_backend("auto", env);
    for (const BackendRow &row : backend_table()) {
        nlohmann::ordered_json options = nlohmann::ordered_json::array();
        for (const RowOption &option : row.options)
            options.push_back(option_text(option));
        std::string refusal = row.inject_refusal();
        nlohmann::ordered_json refused = refusal;
        if (refusal.empty())
            refused = nullptr;
        list.push_back({{"name", row.name}, {"session", row.probe(env)}, {"auto", &row == guessed},
                        {"shows", row.shows}, {"options", options}, {"inject_refusal", refused}});
    }
    return list;
}
