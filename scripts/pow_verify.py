#!/usr/bin/env python3
"""Checks submitted solutions from the definitions, in Python alone (the GPU machine has no compiler).

Reads one request per line and answers each with one line, "ok" or "fail: " and what does not hold,
like tests/tools/soak_verify.cpp (the soak bridge's --verifier):
    HEIGHT THRESHOLD POW0 POW1 POW2 HEADER0 HEADER1 KERNEL0 ROOT NONCE A0..A28 B0..B28   (hex digests)
The root is the known one of the validation test's paths at height 29 (computed on a CPU over the
whole 2^29-leaf tree, the values `corvane-miner --test` checks against); for other paths the tree is
built here, which is only practical up to height 12. Both paths must lead from the recomputed leaves
of the nonce's indices to that root, and the block hash must not exceed the threshold.
`--self-test` checks this code against the validation test's vector: its indices, paths and root.
"""
import struct
import sys

P = 2**64 - 2**32 + 1
M64 = 2**64 - 1
FULL_HEIGHT = 29
MAX_BUILT_HEIGHT = 12

ROUND_CONSTANTS = [
    13630775303355457758, 16896927574093233874, 10379449653650130495, 1965408364413093495,
    15232538947090185111, 15892634398091747074, 3989134140024871768, 2851411912127730865,
    8709136439293758776, 3694858669662939734, 12692440244315327141, 10722316166358076749,
    12745429320441639448, 17932424223723990421, 7558102534867937463, 15551047435855531404,
    17532528648579384106, 5216785850422679555, 15418071332095031847, 11921929762955146258,
    9738718993677019874, 3464580399432997147, 13408434769117164050, 264428218649616431,
    4436247869008081381, 4063129435850804221, 2865073155741120117, 5749834437609765994,
    6804196764189408435, 17060469201292988508, 9475383556737206708, 12876344085611465020,
    13835756199368269249, 1648753455944344172, 9836124473569258483, 12867641597107932229,
    11254152636692960595, 16550832737139861108, 11861573970480733262, 1256660473588673495,
    13879506000676455136, 10564103842682358721, 16142842524796397521, 3287098591948630584,
    685911471061284805, 5285298776918878023, 18310953571768047354, 3142266350630002035,
    549990724933663297, 4901984846118077401, 11458643033696775769, 8706785264119212710,
    12521758138015724072, 11877914062416978196, 11333318251134523752, 3933899631278608623,
    16635128972021157924, 10291337173108950450, 4142107155024199350, 16973934533787743537,
    11068111539125175221, 17546769694830203606, 5315217744825068993, 4609594252909613081,
    3350107164315270407, 17715942834299349177, 9600609149219873996, 12894357635820003949,
    4597649658040514631, 7735563950920491847, 1663379455870887181, 13889298103638829706,
    7375530351220884434, 3502022433285269151, 9231805330431056952, 9252272755288523725,
    10014268662326746219, 15565031632950843234, 1209725273521819323, 6024642864597845108,
]
MDS_COLUMN = [61402, 1108, 28750, 33823, 7454, 43244, 53865, 12034, 56951, 27521, 41351, 40901, 12021, 59689,
              26798, 17845]
MDS = [[MDS_COLUMN[(i - j) % 16] for j in range(16)] for i in range(16)]
LOOKUP = [((x + 1) ** 3 % 257) - 1 for x in range(256)]

# The validation test's paths (pow 0..2, header 0..1, kernel 0) and the root of their 2^29-leaf tree.
VALIDATION_PATHS = [
    "78c453769a658147ebb248c9187dea523d28efe7cd6d9e66f898a8979d9e8698570f9536bf654604",
    "4431b6cfa3d80ad3557053bef1514062bdd15dfdc8b71935c5a9b73866bf42b4c4096b2f7ddb7bd6",
    "747ea3315647bad0b0a80b9476cb59d6e523b3110f825f2d4b228feebfd3ce9910f02a474d60f232",
    "367c02700cebfb1e61d55c38882815d2e268187118a6a10d1a31dadc3605ef5322ebef5597ef4576",
    "689c1888fbf710170855cc6b42d3a5754a74314b0e55e89eee7953c2c9a57e8b3341069086601dab",
    "9948f5a121a567f6ad7a3b96b31f0419e6b70e830e93e79f8efd1af1ea50c4c6830a548aa4d7f634",
]
VALIDATION_ROOT = "df400270c0f6be34253d98e1cc1ebce3c0fde97d1111277f1109ecb3571215076328fa09ebebe511"


def mont_reduce(x):
    """x * 2^-64 mod p for x < 2^128, step by step as the miner's field code does it."""
    xl, xh = x & M64, x >> 64
    a = (xl + (xl << 32)) & M64
    e = 1 if a < ((xl << 32) & M64) or a < xl else 0
    b = (a - (a >> 32) - e) & M64
    return (xh - b + (P if xh < b else 0)) & M64


def split_and_lookup(x):
    # The published S-box acts on the bytes of the Montgomery form x * 2^64 mod p.
    m = mont_reduce(x * 0xFFFFFFFE00000001)
    w = 0
    for k in range(8):
        w |= LOOKUP[(m >> (8 * k)) & 0xFF] << (8 * k)
    return mont_reduce(w)


def permutation(state):
    for r in range(5):
        s = [split_and_lookup(x) for x in state[:4]] + [pow(x, 7, P) for x in state[4:]]
        constants = ROUND_CONSTANTS[16 * r:16 * r + 16]
        state = [(sum(c * u for c, u in zip(row, s)) + k) % P for row, k in zip(MDS, constants)]
    return state


def pair_hash(left, right):
    return tuple(permutation(list(left) + list(right) + [1] * 6)[:5])


def sequence_hash(elements):
    state = [0] * 16
    elements = list(elements)
    k = 0
    while len(elements) - k >= 10:
        state = permutation(elements[k:k + 10] + state[10:])
        k += 10
    tail = elements[k:] + [1]
    state = permutation(tail + [0] * (10 - len(tail)) + state[10:])
    return tuple(state[:5])


ZERO = (0, 0, 0, 0, 0)


def from_hex(text):
    if len(text) != 80:
        raise ValueError("not an 80-digit digest: " + text)
    return struct.unpack("<5Q", bytes.fromhex(text))


def to_hex(digest):
    return struct.pack("<5Q", *digest).hex()


def less_or_equal(a, b):
    """The node's order: element 4 first; equal digests meet."""
    return a[::-1] <= b[::-1]


def commit(mast):
    return sequence_hash([e for d in mast for e in d])


def leaf(commitment, j, num_leafs):
    level = [pair_hash(commitment, ((j + k) % num_leafs, 0, 0, 0, 0)) for k in range(32)]
    while len(level) > 1:
        level = [pair_hash(level[2 * i], level[2 * i + 1]) for i in range(len(level) // 2)]
    return level[0]


def indices(final_hash, nonce, height):
    d = pair_hash(final_hash, nonce)
    for _ in range(62):
        d = pair_hash(d, ZERO)
    mask = (1 << height) - 1
    return d[0] & mask, d[1] & mask


def block_hash(mast, root, path_a, path_b, nonce):
    encoding = list(nonce) + [e for d in path_b for e in d] + [e for d in path_a for e in d] + list(root)
    h3 = pair_hash(mast[2], pair_hash(pair_hash(sequence_hash(encoding), mast[0]), mast[1]))
    g2 = pair_hash(pair_hash(sequence_hash(h3), mast[3]), mast[4])
    return pair_hash(sequence_hash(g2), mast[5])


def built_root(commitment, height):
    n = 1 << height
    buds = [pair_hash(commitment, (i, 0, 0, 0, 0)) for i in range(n)]
    level = []
    for j in range(n):
        window = [buds[(j + k) % n] for k in range(32)]
        while len(window) > 1:
            window = [pair_hash(window[2 * i], window[2 * i + 1]) for i in range(len(window) // 2)]
        level.append(window[0])
    while len(level) > 1:
        level = [pair_hash(level[2 * i], level[2 * i + 1]) for i in range(len(level) // 2)]
    return level[0]


_roots = {}


def root_of(mast, commitment, height):
    key = (commitment, height)
    if key not in _roots:
        if height == FULL_HEIGHT and [to_hex(d) for d in mast] == VALIDATION_PATHS:
            _roots[key] = from_hex(VALIDATION_ROOT)
        elif height <= MAX_BUILT_HEIGHT:
            _roots[key] = built_root(commitment, height)
        else:
            return None
    return _roots[key]


def path_fault(name, path, index, commitment, root, height):
    """What is wrong with the path of leaf `index`, or None."""
    if any(d != ZERO for d in path[height:]):
        return name + " is not zero above the tree"
    node = leaf(commitment, index, 1 << height)
    for j, sibling in enumerate(path[:height]):
        node = pair_hash(node, sibling) if (index >> j) & 1 == 0 else pair_hash(sibling, node)
    return None if node == root else "%s does not lead from leaf %d to the root" % (name, index)


def verify(height, threshold, mast, root, nonce, path_a, path_b):
    commitment = commit(mast)
    expected = root_of(mast, commitment, height)
    if expected is None:
        return "cannot check: the root of this tree is not known and height %d is too large to build" % height
    if root != expected:
        return "root is not the root of the puzzle's tree"
    if nonce[0] >= P:
        return "nonce counter is not canonical"
    a, b = indices(pair_hash(root, commitment), nonce, height)
    for name, path, index in (("path_a", path_a, a), ("path_b", path_b, b)):
        fault = path_fault(name, path, index, commitment, root, height)
        if fault:
            return fault
    if not less_or_equal(block_hash(mast, root, path_a, path_b, nonce), threshold):
        return "block hash above the threshold"
    return None


def answer(line):
    words = line.split()
    try:
        height = int(words[0])
        digests = [from_hex(w) for w in words[1:]]
    except (ValueError, IndexError):
        return "fail: malformed request"
    n = FULL_HEIGHT
    if not 1 <= height <= n or len(digests) != 9 + 2 * n:
        return "fail: malformed request"
    fault = verify(height, digests[0], digests[1:7], digests[7], digests[8], digests[9:9 + n], digests[9 + n:])
    return "fail: " + fault if fault else "ok"


# The validation test's start nonce, its indices and the first and last entries of its paths.
SELF_TEST = {
    "nonce": "000000000dde3f0d0000000000000000000000000000000000000000000000000000000000000000",
    "indices": (104760745, 164794829),
    "buffer_hash": "d5302ed088e704188432c95b3abc2a2c8472c28deca7046fadcbf6b696db6f7f532ddc13c51e3569",
    "path_a0": "ad56d7220cb640d2303a5b1f94252a906ad5cb888a10dcd89f6905aaa98364499d16d0f0c42e0932",
    "path_b0": "a0cc1562d5a31173917b31e7e8215b3f9104db8d68c2db579b7af04f1deab191fed79c279d574796",
}


def self_test():
    mast = [from_hex(t) for t in VALIDATION_PATHS]
    commitment, root = commit(mast), from_hex(VALIDATION_ROOT)
    final_hash = pair_hash(root, commitment)
    found = indices(final_hash, from_hex(SELF_TEST["nonce"]), FULL_HEIGHT)
    faults = []
    if to_hex(final_hash) != SELF_TEST["buffer_hash"]:
        faults.append("buffer hash " + to_hex(final_hash))
    if found != SELF_TEST["indices"]:
        faults.append("indices %s" % (found,))
    for name, index in zip(("path_a0", "path_b0"), found):
        if to_hex(leaf(commitment, index ^ 1, 1 << FULL_HEIGHT)) != SELF_TEST[name]:
            faults.append(name)
    print("pow_verify self-test: " + ("FAILED (" + ", ".join(faults) + ")" if faults else "ok"))
    return 1 if faults else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    if sys.argv[1:]:
        sys.exit(__doc__)
    for line in sys.stdin:
        print(answer(line), flush=True)


if __name__ == "__main__":
    main()
