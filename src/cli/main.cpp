// corvane-miner: the product always mines with the default configuration.
#include <string>
#include <vector>

#include "cli/run_miner.h"

int main(int argc, char** argv)
{
    return run_miner(std::vector<std::string>(argv, argv + argc), MiningConfig{});
}
