// Whole host files for tests: read one into a string, write one from a string.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

inline std::string slurp(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    int c;
    while ((c = fgetc(f)) != EOF)
        s += (char)c;
    fclose(f);
    return s;
}

inline void spit(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}
