#include "main/startup.h"

int main(int argc, char** argv) {
    // Lives for the whole process: after a run the agent sleeps until power-off.
    ovik::Agent agent;
    return ovik::agent_main(argc, argv, agent);
}
