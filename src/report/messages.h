// The two messages that end a successful run. Each blocks until OK.
#pragma once

void show_completion_message();
void show_removal_message();

// The texts themselves, for the tests that compare them byte for byte.
extern const char kCompletionText[];
extern const char kRemovalText[];
