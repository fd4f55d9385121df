#include "main/startup.h"

int main(int argc, char** argv) {
    return ovik::agent_main(argc, argv);
}
