// soak-verify: the soak bridge's own check of each submitted solution, written from the definitions
// with the reference tree of the tests (not the miner's check). One request per input line:
//   HEIGHT THRESHOLD POW0 POW1 POW2 HEADER0 HEADER1 KERNEL0 ROOT NONCE A0..A28 B0..B28
// (hex digests); one answer line: "ok", or "fail: " and what does not hold.
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/guesser_reference.h"

namespace {

using reference::H;

// The candidate's block hash: the encoding (nonce, path_b, path_a, root) folded up the paths.
Digest block_hash(const std::vector<Digest>& mast, const Digest& root, const std::vector<Digest>& a,
                  const std::vector<Digest>& b, const Digest& nonce)
{
    std::vector<uint64_t> encoding(nonce.elements, nonce.elements + 5);
    for (const auto* path : {&b, &a})
        for (const Digest& d : *path) encoding.insert(encoding.end(), d.elements, d.elements + 5);
    encoding.insert(encoding.end(), root.elements, root.elements + 5);
    const Digest h3 = H(mast[2], H(H(reference::sequence_hash(encoding), mast[0]), mast[1]));
    const Digest l2 = reference::sequence_hash({h3.elements, h3.elements + 5});
    const Digest g2 = H(H(l2, mast[3]), mast[4]);
    return H(reference::sequence_hash({g2.elements, g2.elements + 5}), mast[5]);
}

std::string verify(uint64_t height, const Digest& threshold, const std::vector<Digest>& mast, const Digest& root,
                   const Digest& nonce, const std::vector<Digest>& a, const std::vector<Digest>& b)
{
    static std::map<std::pair<std::string, uint64_t>, reference::Tree> trees;  // a few hundred puzzles at most
    std::vector<uint64_t> elements;
    for (const Digest& d : mast) elements.insert(elements.end(), d.elements, d.elements + 5);
    const Digest commitment = reference::sequence_hash(elements);
    auto key = std::make_pair(digest_to_hex_padded(commitment), height);
    if (trees.find(key) == trees.end()) trees[key] = reference::build_tree(commitment, height);
    const reference::Tree& tree = trees[key];
    if (!(root == tree.root())) return "root is not the root of the puzzle's tree";
    if (nonce[0] >= field::P) return "nonce counter is not canonical";
    Digest d = H(H(tree.root(), commitment), nonce);
    for (int round = 0; round < 62; ++round) d = H(d, Digest{});
    const uint64_t mask = (uint64_t(1) << height) - 1;
    if (a != reference::auth_path(tree, d[0] & mask)) return "path_a is not the path of leaf " + std::to_string(d[0] & mask);
    if (b != reference::auth_path(tree, d[1] & mask)) return "path_b is not the path of leaf " + std::to_string(d[1] & mask);
    if (!digest_less_than_or_equal(block_hash(mast, root, a, b, nonce), threshold)) return "block hash above the threshold";
    return "";
}

}  // namespace

int main()
{
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        uint64_t height = 0;
        std::vector<Digest> digests;
        in >> height;
        const size_t n = GUESSER_TREE_HEIGHT;
        std::string fault = "malformed request";
        try {
            for (std::string word; in >> word;) digests.push_back(hex_to_digest(word));
        } catch (const std::exception&) {
            digests.clear();
        }
        if (height >= 1 && height <= n && digests.size() == 9 + 2 * n)
            fault = verify(height, digests[0], {digests.begin() + 1, digests.begin() + 7}, digests[7], digests[8],
                           {digests.begin() + 9, digests.begin() + 9 + n}, {digests.begin() + 9 + n, digests.end()});
        std::cout << (fault.empty() ? "ok" : "fail: " + fault) << std::endl;
    }
}
