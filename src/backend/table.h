// The window systems quorvel can run on, one row each: its --winsys word,
// how the environment shows that it is there, how to make it, its own
// command-line options and why it cannot inject presses, if it cannot.
// A window system whose libraries the build did not find has no row.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend.h"

// Reads one environment variable: its value, or null where it is unset.
using Environment = std::function<const char *(const char *)>;

// A window system's own command-line option; `value` names what follows
// it, and is null for a flag.
struct RowOption {
    const char *name;
    const char *value;
};

// "-display NAME", or the flag's name alone.
std::string option_text(const RowOption &option);

struct BackendRow {
    const char *name;
    // Whether the environment names a session of this window system.
    bool (*probe)(const Environment &env);
    // Whether it shows the window on a display: --winsys auto guesses only
    // those, and quorvel-check judges only those.
    bool shows;
    std::unique_ptr<Backend> (*create)();
    std::vector<RowOption> options;
    // Why presses cannot be injected here, in one line; empty where they can.
    std::string (*inject_refusal)();
};

// Every row, in the order --winsys auto tries them.
const std::vector<BackendRow> &backend_table();

// The window systems quorvel knows that this build left out, joined by
// ", " (empty for none), and whether `name` is one of them.
const char *left_out_backends();
bool left_out(const std::string &name);

// The row --winsys `asked` names ("auto" or empty for the first that shows
// whose probe holds, or the first row where none does); null for a word no
// row has.
const BackendRow *choose_backend(const std::string &asked, const Environment &env);

// The words --winsys takes, "auto" first, joined by `joint` and the last
// two by `last_joint`: "auto, x11, wayland or offscreen".
std::string backend_words(const char *joint, const char *last_joint);

// How many words `arg` takes as an option of `row`, or of any row where
// `row` is null, itself included: 2 for one that takes a value, 1 for a
// flag, 0 for none of those options.
int option_words(const char *arg, const BackendRow *row = nullptr);

// Of the window systems' options taken out of the command line, those of `row`.
std::vector<char *> own_options(const BackendRow &row, const std::vector<char *> &taken);

// The table as `quorvel --winsys list` gives it, in this environment: a row
// each, with its name, whether its session is there, whether --winsys auto
// picks it, its own options and its refusal to inject presses (or null).
nlohmann::ordered_json backend_list(const Environment &env);
