// The program's entry point under another name, so the tests can run it.
#define main garvelux_main
#include "sync/main.cpp"
