#include "app/host_main.h"

int main() { return RunHost(); }
