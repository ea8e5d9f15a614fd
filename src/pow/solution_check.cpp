#include "pow/solution_check.h"

#include "hash/field.h"
#include "hash/tip5_host.h"
#include "pow/pow_hash.h"

namespace {

// What is wrong with the path of leaf `index` in a tree of `height` levels, or "".
std::string path_fault(const char* name, const Digest* path, uint64_t index, uint64_t height,
                       const Digest& commitment, const Digest& root)
{
    const uint64_t num_leafs = uint64_t(1) << height;
    const std::string which(name);
    if (!(path[0] == pow_hash::leaf(commitment, index ^ 1, num_leafs, HOST_PERMUTATION)))
        return which + "[0] is not the sibling leaf of leaf " + std::to_string(index);
    // Bit j of the index says on which side the node on the way up sits at level j.
    Digest node = pow_hash::leaf(commitment, index, num_leafs, HOST_PERMUTATION);
    for (uint64_t j = 0; j < height; ++j)
        node = ((index >> j) & 1) == 0 ? tip5::hash_pair(node, path[j], HOST_PERMUTATION)
                                       : tip5::hash_pair(path[j], node, HOST_PERMUTATION);
    bool zero_above = true;
    for (uint64_t j = height; j < GUESSER_TREE_HEIGHT; ++j) zero_above = zero_above && path[j] == Digest{};
    if (!(node == root) || !zero_above) return which + " does not lead to the root";
    return "";
}

}  // namespace

std::string checkSolution(const GuesserBuffer& buffer, const Digest& threshold, const Pow& pow)
{
    if (!(pow.root == buffer.merkle_root)) return "root is not the buffer's root";
    if (pow.nonce[0] >= field::P) return "nonce counter is not a canonical field element";
    const uint64_t height = buffer.tree_height;
    if (height < 1 || height > GUESSER_TREE_HEIGHT) return "the buffer holds no tree";
    const auto [index_a, index_b] = Pow::indices(buffer.final_hash, pow.nonce, (uint64_t(1) << height) - 1);
    const Digest commitment = buffer.mast_paths.commit();
    for (const std::string& fault :
         {path_fault("path_a", pow.path_a, index_a, height, commitment, buffer.merkle_root),
          path_fault("path_b", pow.path_b, index_b, height, commitment, buffer.merkle_root)})
        if (!fault.empty()) return fault;
    if (!digest_less_than_or_equal(buffer.mast_paths.fast_mast_hash(pow), threshold))
        return "block hash does not meet the threshold";
    return "";
}
