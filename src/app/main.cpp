#include "app/host_entry.h"

int main(int argc, char** argv) { return HostMain(argc, argv); }
