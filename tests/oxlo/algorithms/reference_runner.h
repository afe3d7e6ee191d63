/* Runs the numpy/scipy/sklearn reference computations of
 * analytics_reference.py on named arrays and reads back named arrays, so the
 * analytics tests compare against an independent implementation. Both ways
 * the format is one array per line: "name v1 v2 ...". */
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace reference {

using arrays = std::map<std::string, std::vector<double>>;

inline arrays run(const std::string &command, const arrays &input)
{
    char path[] = "/tmp/oxlo_reference_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path);
        out.precision(17);
        for (const auto &[name, values] : input) {
            out << name;
            for (double v : values)
                out << ' ' << v;
            out << '\n';
        }
    }
    std::string cmd = "/usr/bin/python3 " VESK_SOURCE_DIR "/tests/oxlo/algorithms/analytics_reference.py " +
                      command + " " + path;
    arrays result;
    FILE *p = popen(cmd.c_str(), "r");
    EXPECT_NE(p, nullptr);
    if (p) {
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            text.append(buf, n);
        int status = pclose(p);
        EXPECT_EQ(status, 0) << "reference '" << command << "' failed";
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string name;
            fields >> name;
            std::vector<double> values;
            std::string v;
            while (fields >> v)
                values.push_back(std::strtod(v.c_str(), nullptr));
            result[name] = values;
        }
    }
    unlink(path);
    return result;
}

} // namespace reference
