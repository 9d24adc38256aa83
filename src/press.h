// A key or button press as a window system reports it: the words the
// backends and the input figures share, so that neither reaches into the
// other for them.
#pragma once

#include <cstdint>

// Injected presses cycle through a few keys that nobody types during a timing
// run, so that each arrival is told from the others and from the user's own.
constexpr int press_keys = 4;
constexpr int user_key = -1;  // any other key, or a button

// A key or mouse button pressed on the window: one of the keys injected
// presses use (0 to press_keys - 1), or user_key; stamped on the raw tick
// when the backend handled it.
struct Press {
    uint64_t stamp;
    int key;
};
