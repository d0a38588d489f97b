// The system-call floor of one steady-state cycle on a fake board: the file operations the cycle
// must do, each at its least cost.
//
//   bench_floor [--board reference|large[:CHIPS:ZONES]] [--raw] [--root-dir DIR]
//
// Prints "reads=R writes=W mkdirs=M sleeps=1 floor=F" where an attribute read costs open, size,
// read, close (4), a file written open, write, close (3), a directory level one mkdir, and the
// wait one sleep. An attribute the board lacks costs its failed open (1).
//
// The counts follow one cycle of the daemon: per accumulator device the latch write, four power
// averages, four voltages and the accumulator; with --raw four instantaneous powers. Then the
// backlight, GPU and eight CPU clocks, GPU performance figure, battery, fan (2), battery-current
// limit (counter and two voltages) and each thermal zone's temperature. Written: a value file per
// power and voltage reading, four power totals, an accumulator and a timestamp file per device;
// with --raw one log line per device plus the system and thermal logs. Every cycle asks make_dirs
// for the four value directories.
#include "board.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct floor_counts {
    long reads = 0;   // attribute reads that find their file
    long missing = 0; // reads whose file is absent: only the open
    long writes = 0;  // files written
    long mkdirs = 0;  // directory levels visited
};

void read_if(floor_counts &c, bool present) {
    (present ? c.reads : c.missing) += 1;
}

long path_levels(const std::string &path) {
    long levels = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '/' && i + 1 < path.size() && path[i + 1] != '/') {
            ++levels;
        }
    }
    return levels;
}

floor_counts count_cycle(const fakeboard::board &b, bool raw, const std::string &root) {
    floor_counts c;
    long power_readings = 0;
    long voltage_readings = 0;
    long devices = 0;
    for (const fakeboard::accumulator_chip &chip : b.chips) {
        if (chip.name.rfind("max34417", 0) != 0) {
            continue;
        }
        ++devices;
        c.writes += 1; // latch
        for (std::size_t k = 0; k < 4; ++k) {
            read_if(c, chip.power_average_uw[k].has_value());
            power_readings += (chip.power_average_uw[k] && chip.power_label[k]) ? 1 : 0;
            read_if(c, chip.voltage_mv[k].has_value());
            voltage_readings += (chip.voltage_mv[k] && chip.voltage_label[k]) ? 1 : 0;
            if (raw) {
                read_if(c, chip.power_input_uw[k].has_value());
            }
        }
        c.reads += 1; // accumulator
    }
    read_if(c, b.brightness.has_value());
    power_readings += b.brightness ? 1 : 0;
    read_if(c, b.gpu_hz.has_value());
    for (const auto &khz : b.cpu_khz) {
        read_if(c, khz.has_value());
    }
    read_if(c, b.perf_now.has_value());
    read_if(c, b.battery_percent.has_value());
    if (b.fan) {
        c.reads += 2;
    }
    if (b.bcl) {
        read_if(c, b.bcl_throttle_accum.has_value());
        if (b.bcl_throttle_accum) {
            c.reads += 2;
        }
    }
    for (const fakeboard::thermal_zone &zone : b.zones) {
        read_if(c, zone.temp_mc.has_value());
    }

    c.writes += power_readings + 4 + voltage_readings + 2 * devices;
    if (raw) {
        c.writes += devices + 2;
    }
    for (const char *dir : {"power", "voltage", "accumulator", "timestamp"}) {
        c.mkdirs += path_levels(root + "/" + dir);
    }
    return c;
}

} // namespace

int main(int argc, char **argv) {
    fakeboard::board board = fakeboard::reference_board();
    bool raw = false;
    std::string root = "/run/power-monitor";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--board" && i + 1 < argc) {
            if (!fakeboard::board_by_name(argv[++i], &board)) {
                std::fprintf(stderr, "bench_floor: unknown board %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--raw") {
            raw = true;
        } else if (arg == "--root-dir" && i + 1 < argc) {
            root = argv[++i];
        } else {
            std::fputs(
                "usage: bench_floor [--board reference|large[:CHIPS:ZONES]] [--raw] [--root-dir DIR]\n",
                stderr);
            return 2;
        }
    }
    const floor_counts c = count_cycle(board, raw, root);
    const long floor = 4 * c.reads + c.missing + 3 * c.writes + c.mkdirs + 1;
    std::printf("reads=%ld missing=%ld writes=%ld mkdirs=%ld sleeps=1 floor=%ld\n", c.reads, c.missing,
                c.writes, c.mkdirs, floor);
    return 0;
}
