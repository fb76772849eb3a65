#include "scratch_root.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "orvi_port.h"

namespace {
const char *kBoardDirs[] = {"/data/domivault/data/lib", "/data/domivault/configs", "/data/domivault/logs",
                            "/data/domivault/SoftWDT", "/tmp", "/home/root", "/run/media/mmcblk1p1",
                            "/usr/local/etc", "/etc", "/vboard/state"};
}

std::string standin_dir() { return std::string(ORVI_SOURCE_DIR) + "/tools/vboard/standins"; }

ScratchRoot::ScratchRoot() {
    char tmpl[] = "/tmp/orvi-unit-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    for (const char *d : kBoardDirs) {
        std::string cmd = "mkdir -p '" + dir_ + d + "'";
        if (system(cmd.c_str()) != 0) throw std::runtime_error(cmd);
    }
    setenv("VBOARD_COMMAND_LOG", (dir_ + "/vboard/commands.log").c_str(), 1);
    setenv("VBOARD_STATE", (dir_ + "/vboard/state").c_str(), 1);
    setenv("VBOARD_ROOT", dir_.c_str(), 1);
    orvi_port_set_root(dir_);
}

ScratchRoot::~ScratchRoot() {
    orvi_port_set_root("");
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

void ScratchRoot::write(const std::string &board_path, const std::string &text) const {
    std::ofstream f(path(board_path), std::ios::binary | std::ios::trunc);
    f << text;
}

std::string ScratchRoot::read(const std::string &board_path) const {
    std::ifstream f(path(board_path), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool ScratchRoot::exists(const std::string &board_path) const { return access(path(board_path).c_str(), F_OK) == 0; }

std::vector<std::string> ScratchRoot::commands() const {
    std::vector<std::string> out;
    std::ifstream f(dir_ + "/vboard/commands.log");
    std::string line;
    while (std::getline(f, line)) out.push_back(line);
    return out;
}

void ScratchRoot::clear_commands() const { unlink((dir_ + "/vboard/commands.log").c_str()); }
