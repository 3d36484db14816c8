#include <windows.h>

#include "launch/vokxp_main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { vokxp_main(); }
