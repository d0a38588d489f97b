#include "daemon/monitor.h"

int main(int argc, char **argv) {
    return monitor_main(argc, argv);
}
