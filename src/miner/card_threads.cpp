#include "miner/card_threads.h"

#include <thread>

void on_each(const std::vector<std::size_t>& indices, const std::function<void(std::size_t)>& body)
{
    std::vector<std::thread> threads;
    threads.reserve(indices.size());
    for (const std::size_t index : indices) threads.emplace_back(body, index);
    for (std::thread& thread : threads) thread.join();
}

std::string card_prefix(int gpu, std::size_t cards)
{
    return cards > 1 ? "GPU " + std::to_string(gpu) + ": " : "";
}
