#pragma once

// The whole run: choose a mode from the first argument, run it, exit.
// Never returns.
[[noreturn]] void vokxp_main();
