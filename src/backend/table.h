// The window systems quorvel can run on, one row each: its --winsys word,
// how the environment shows that it is there, how to make it, its own
// command-line options and why it cannot inject presses, if it cannot.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend.h"

struct BackendRow {
    const char *name;
    // Whether the environment names a session of this window system;
    // `env` reads one variable, null where it is unset.
    bool (*probe)(const std::function<const char *(const char *)> &env);
    std::unique_ptr<Backend> (*create)();
    std::vector<const char *> valued_options;  // each followed by its value
    std::vector<const char *> flag_options;
    // Why presses cannot be injected here, in one line; empty where they can.
    std::string (*inject_refusal)();
};

// Every row, in the order --winsys auto tries them.
const std::vector<BackendRow> &backend_table();

// The row --winsys `asked` names ("auto" or empty for the first whose probe
// holds, or the first row where none does); null for a word no row has.
const BackendRow *choose_backend(const std::string &asked, const std::function<const char *(const char *)> &env);

// The words --winsys takes, "auto" first, joined by `joint` and the last
// two by `last_joint`: "auto, x11, wayland or offscreen".
std::string backend_words(const char *joint, const char *last_joint);

// How many words `arg` takes as an option of `row`, itself included: 2 for
// one that takes a value, 1 for a flag, 0 for none of its options.
int option_words(const BackendRow &row, const char *arg);

// Of the window systems' options taken out of the command line, those of `row`.
std::vector<char *> own_options(const BackendRow &row, const std::vector<char *> &taken);
