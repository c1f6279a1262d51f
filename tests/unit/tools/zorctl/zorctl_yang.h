// The repository's YANG modules, loaded as zorctl loads the agent's.
#pragma once

#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "zorctl_schema.h"

inline std::vector<zc_module_text> zc_repo_modules()
{
    std::vector<zc_module_text> out;
    const std::string dir = std::string(ZOR_SOURCE_DIR) + "/yang";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return out;
    }
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".yang") == 0) {
            std::ifstream in(dir + "/" + name);
            std::ostringstream text;
            text << in.rdbuf();
            out.emplace_back(name.substr(0, name.size() - 5), text.str());
        }
    }
    closedir(d);
    return out;
}

inline void zc_load_repo_schema(zc_schema &schema)
{
    std::string err;
    ASSERT_TRUE(schema.load(zc_repo_modules(), err)) << err;
}
