// ovikstation: the test PC's program that drives ovikburn agents through their burn-in runs.
#include <cstdio>

#include "base/console.h"
#include "station/app/cli.h"

int main(int argc, char** argv) {
    ovik::use_line_buffered_stdout();
    return ovik::station::station_main(argc, argv, stdout, stderr);
}
