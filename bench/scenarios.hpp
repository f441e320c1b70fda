// What chat_bench's scenarios share across files: the figures for the
// machine-readable line that chat_bench prints at the end, and the
// scenarios kept in files of their own.
#pragma once

#include <map>
#include <string>

// Every figure recorded so far, by its key.
inline std::map<std::string, double> &figures()
{
    static std::map<std::string, double> all;
    return all;
}

inline void record_figure(const std::string &key, double value) { figures()[key] = value; }

// Own echo through chat_web, a relay and direct, and the gateway's delay
// for `ticks` of tick bursts (bench/web_bench.cpp).
void web_scenario(int ticks);
