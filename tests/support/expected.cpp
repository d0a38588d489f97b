#include "expected.h"

#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace support {

namespace {

std::string data_path(const std::string &name) {
    return std::string(VPM_TEST_DATA_DIR) + "/" + name;
}

bool updating_golden_files() {
    const char *flag = std::getenv("VPM_UPDATE_GOLDEN");
    return flag != nullptr && std::strcmp(flag, "1") == 0;
}

} // namespace

std::string data_file(const std::string &name) {
    std::ifstream in(data_path(name), std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << data_path(name);
        return "";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string usage_text(const std::string &program) {
    std::string text = data_file("usage.txt");
    const std::size_t at = text.find("PROGRAM");
    if (at == std::string::npos) {
        ADD_FAILURE() << "no PROGRAM in " << data_path("usage.txt");
        return text;
    }
    return text.replace(at, std::strlen("PROGRAM"), program);
}

void expect_golden(const std::string &name, const std::string &actual) {
    if (updating_golden_files()) {
        std::ofstream out(data_path(name), std::ios::binary | std::ios::trunc);
        out << actual;
        out.close();
        ASSERT_TRUE(out.good()) << "cannot write " << data_path(name);
        std::printf("rewrote %s\n", data_path(name).c_str());
        return;
    }
    EXPECT_EQ(data_file(name), actual) << "differs from tests/data/" << name
                                       << " (VPM_UPDATE_GOLDEN=1 rewrites it when the change is meant)";
}

std::string mask_columns(const std::string &csv, const std::vector<std::size_t> &columns) {
    std::string masked;
    const std::vector<std::string> lines = lines_in(csv);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == 0) {
            masked += lines[i] + "\n";
            continue;
        }
        std::vector<std::string> fields = fields_of(lines[i]);
        for (std::size_t c : columns) {
            if (c < fields.size()) {
                fields[c] = k_masked;
            }
        }
        for (std::size_t f = 0; f < fields.size(); ++f) {
            masked += (f == 0 ? "" : ",") + fields[f];
        }
        masked += "\n";
    }
    return masked;
}

} // namespace support
