#include "cli/test_data.h"

namespace {

// Authentication path of leaf EXPECTED_INDEX_A, entry 0 first.
const char* const EXPECTED_PATH_A[TestData::PATH_LENGTH] = {
    "ad56d7220cb640d2303a5b1f94252a906ad5cb888a10dcd89f6905aaa98364499d16d0f0c42e0932",
    "49d9ae2aa4b258e48799461605694ce9b62155597874eed60aeb8979035935513804893eb6fcb225",
    "7165621e504ddb1e16bcf33176bbdf34896dc66a35df11c69459f06d04d487bd1bfba6a888b851c9",
    "2d7b394e2a357a68996b431b6d14a19729b20c0e06bef80a74680e782a7c037b218aa4717a10ce81",
    "ac7d4b1360bef1026e9572e30197953a58174e580ddd23baa18cc31fd79b8c9f1f67f2e8e537be5a",
    "d4e6c2d1c21613aea8d005cc5b6d0af3ddf24b8e2f741bc52967d150d43700df55e1bc6e73d9289e",
    "a7dde85efbfa36eb650c597e064db005918c9cbb6eb1f68be8beeff61b107849dd243802e2f0dac5",
    "78efa4782cc9a5eb90ca734c8f136919af14f3586fc00aad0db45b4056b80e8b9a141f79fdc86888",
    "e674384aa516c774afa868ad795db32804cc4dd09f2a0e681d55227ac1435818e0c8d9ff361d70f5",
    "24b353a4ae656d9dac5eb0e1011c848ffdf8da3f4acb06370cce076e7d1fe86c4642b13363f7058b",
    "45793a6a5b91dc91f6f8651481844e74e9f2ac05ff1e6affd38441a37bebdd68d54b6b8141a83e73",
    "25461374726c855fcdcd13e244337858116348068028ce3dc9a53a0008ae9b37067abce3289b78e1",
    "78c9cd7dcee8805c0d80fafeebbaf30d5b841206b92f39d6baf82dc6de0a7b8a25cd3c980faca16e",
    "7e6a9a2b97dbaa66b684b305d1c8562fac269a28f2033efb29b0a159527751eeaf572163e7d356fe",
    "e75b20edbf095e51551f662b9c9bc1e4fc983cc5e71989b6a75b984ccd9ee929b5d07e8a3b460f4b",
    "b3567d9b6521764eb67d66935de215c29b21e37d092dd0f4fe2ef3d32469d388592305a1124f4a9c",
    "b791d9cc047c85b85ba9c5f17a1e9faad4fc9ef8f37b67305f6384745f2f7cbd2148fc673a782163",
    "e9db71018cf06b36d91164ef6ecfccd22ef1567bca178217bb1e60f26ecf0119ec424eed61a202ba",
    "fde4108fad884da51fbe2abb5f1a59a4a060f815ce7bb03468c5043f452b56cf6670e1be215c8b8a",
    "8faf1e82ee3ed61082b14718c3413da4f244fca60bdc7ec9b809a89954cbf7b3045ae28d4e10ea49",
    "3550938240dacdeae92d5c2ac1815157b72372e4753d2a465c3a12e0572d240402d6e6fdd0e9e458",
    "509bc176b2b87de12f25c2eecca87eeb2a837e6111af8f2fbae01958d468604eafde174024e8c03d",
    "feef955b21605555a286c0dfe7c96a9a7514d85c58d9b7f88aeb68f30f7c3f84ed8514e19b38dd42",
    "8b356429ad7a7417478d6061bd81ccaa8bf71a743deb1854fc2083afec2b8b69d3a52be460c26558",
    "ac39da028d975a4e07b8be79a96d98288465f1643244d4e41300a72f8326da30daeefec18e7fd15e",
    "44f8bcd8a4f294e2d22e4d964c02d8dfc59b0eb951e49e29cedd51f0e5710ca4af86684e43ef2a3d",
    "40b14afe0c1ed0c6b48e97833d88b4a7c0418520631728dd8f34b56cf07ddc9199b9d7841bda48e6",
    "0db7cb0199d19d9806f11b9617accfb3c9e3c488e6239e0d529b92b575a9cb507d3d72af71d748bb",
    "fa72e505c70e94fb682907c3f2fe1dcaa5631710dd6db6179511fee190ec91fc1185a893aa259978",
};

// Authentication path of leaf EXPECTED_INDEX_B, entry 0 first.
const char* const EXPECTED_PATH_B[TestData::PATH_LENGTH] = {
    "a0cc1562d5a31173917b31e7e8215b3f9104db8d68c2db579b7af04f1deab191fed79c279d574796",
    "7ce58e36f78d9bc04c0df409143c0b6ab0fc60e1c92f6f09774e17d5b152d2ba0d3ff97363222d92",
    "66705b4960cb699ca398ec6e871035986afe8bbea1d0d5f86e1f48d4f689da9461a5ac6292adb94c",
    "cff0164a4776d669636e3c7acf98ffb4a689e2f6d5b763581b6a38256c25e68f855f4b73f9c73fd9",
    "f85e90248cc936993177c488b754991a4237d0d6b766f17b0a033ffe2e5b4339ed13b8a416a3a742",
    "eddb3464ad77b88e762d6ff348fbf88107ee4de483df092bec8b5bf66a936af250b143a0b78518b9",
    "a94d63ec07d85d4031e3091b7cd849051b92030816503a7649f15c8c0efee6633cbf8c12cf81eb47",
    "0021a6719f38d94e8c340b327dd672abb0b5c2a84cbb7d87bba9cdf04af4b0c33aaef401fa71d2fe",
    "357879ca98645094e0e173aeb12ea6179d630e6a104b9ffe13110c1cf66f34a6bf0cf0d71d927dde",
    "006717ff7a5667023f8f23dd0b38722f280bf01673c556849c927cda5316b6de8b05342222a1ed24",
    "52d3f23d10cd9623c67310dcb936d257244b06162e0574cd32fc96c3ffbe4c8205ae4705043a6552",
    "6673a3f895ab1f4355261e8a2a3d6fb017e7f0ab6d1094b05e43810053ae7e65742ffc77c6e2ecde",
    "864e99359a7bbaa0ec9129cee7bcb373466040bb776bb69c30aa31cb5c76484b8c6e66046bbf7a82",
    "05752d5e7d9aaf6690fd11132cdd95291bc1650967ecd46744954838369b70ce09f3f22dbc27d77f",
    "b3b6afec68d62616f21bd8fbf222908fb835a0866c30deb018cf84542503784261cac779afde4ef1",
    "3a146614cd97279996e605cb5e2877f72e95859fcff1e67273ed9c644990234b84481382d5eb3d2d",
    "84f807876dfcf4fee1f735e4171c9bb144ba99051def93e73ba8eb0da08768ef292fb9a24ff92ed7",
    "20b0a4772dec6da0c5b7a09aaf9654466bd0e406fea4b97c030b443639558fc29763b99d04b831c6",
    "e1f3a2f3a5586b92f1ddaf1da0e2539d00b4be215326aadbefc38fbaf93aa5759a72c4ef8a461d50",
    "e06b80968e5a2f780a76009de3043bb5824be13ba07f9e7aaf1daf220adde5823756a51a70eec651",
    "468dc4559d846f61de1f662aab09c786e935c33bef7533a48c989efc14de29ec2a113b930b4540a1",
    "1b28f93f30e23e0a6169157ac218a048aee37a26318ca564c72ea5af770efb0ff6de990505b5286e",
    "db3cbf9f1596102f611423c0aa44442c6915b64b8bbd785c63f7e7893c4ae1704d75399f7addd9f8",
    "cd4967e9ea64001b1732713e1516aff4e0d215d1c9ee2cc0d4acaf06f7758db97c68d3f9eedddb2e",
    "85564ba533808890d386af6938a23983d5adee1b57200ef1b8fbd922f2cdbc7b95cbd19e2bfe6555",
    "5924dc08e141229f03b6bdf2f165d6c83909aff91425367342d1bde83ea7b09bf72c57a6048a2aa5",
    "5ba4bfea04f5781f938a25dadbec7044be8e76ab1649f56db60cc91724654ad4e9263d1352e34a9c",
    "6a29165011e93673c334f46df82377196e8b540ab0d146efa4f4df9cc2d661f4e84127095d795619",
    "fa72e505c70e94fb682907c3f2fe1dcaa5631710dd6db6179511fee190ec91fc1185a893aa259978",
};

const char* const EXPECTED_MERKLE_ROOT = "df400270c0f6be34253d98e1cc1ebce3c0fde97d1111277f1109ecb3571215076328fa09ebebe511";
const char* const EXPECTED_BUFFER_HASH = "d5302ed088e704188432c95b3abc2a2c8472c28deca7046fadcbf6b696db6f7f532ddc13c51e3569";

TestData::Path path_from_hex(const char* const (&texts)[TestData::PATH_LENGTH])
{
    TestData::Path path{};
    for (int i = 0; i < TestData::PATH_LENGTH; ++i) path[i] = hex_to_digest(texts[i]);
    return path;
}

}  // namespace

Digest TestData::get_target()
{
    return arrayStringToDigest(
        "[1397412243755449870,8140796950650562855,16018309423481028611,3858019349456522651,170148735]");
}

Digest TestData::get_start_nonce()
{
    return hex_to_digest("000000000dde3f0d0000000000000000000000000000000000000000000000000000000000000000");
}

PowMastPaths TestData::get_mast_paths()
{
    PowMastPaths paths{};
    paths.pow[0] = hex_to_digest("78c453769a658147ebb248c9187dea523d28efe7cd6d9e66f898a8979d9e8698570f9536bf654604");
    paths.pow[1] = hex_to_digest("4431b6cfa3d80ad3557053bef1514062bdd15dfdc8b71935c5a9b73866bf42b4c4096b2f7ddb7bd6");
    paths.pow[2] = hex_to_digest("747ea3315647bad0b0a80b9476cb59d6e523b3110f825f2d4b228feebfd3ce9910f02a474d60f232");
    paths.header[0] = hex_to_digest("367c02700cebfb1e61d55c38882815d2e268187118a6a10d1a31dadc3605ef5322ebef5597ef4576");
    paths.header[1] = hex_to_digest("689c1888fbf710170855cc6b42d3a5754a74314b0e55e89eee7953c2c9a57e8b3341069086601dab");
    paths.kernel[0] = hex_to_digest("9948f5a121a567f6ad7a3b96b31f0419e6b70e830e93e79f8efd1af1ea50c4c6830a548aa4d7f634");
    return paths;
}

Digest TestData::get_expected_buffer_hash()
{
    return hex_to_digest(EXPECTED_BUFFER_HASH);
}

Digest TestData::get_expected_merkle_root()
{
    return hex_to_digest(EXPECTED_MERKLE_ROOT);
}

TestData::Path TestData::get_expected_path_a()
{
    return path_from_hex(EXPECTED_PATH_A);
}

TestData::Path TestData::get_expected_path_b()
{
    return path_from_hex(EXPECTED_PATH_B);
}

Digest TestData::get_expected_fast_mast_hash()
{
    Pow pow;
    pow.root = get_expected_merkle_root();
    const Path a = get_expected_path_a();
    const Path b = get_expected_path_b();
    for (int i = 0; i < PATH_LENGTH; ++i) {
        pow.path_a[i] = a[i];
        pow.path_b[i] = b[i];
    }
    pow.nonce = get_start_nonce();
    return get_mast_paths().fast_mast_hash(pow);
}

TestData::Expected TestData::get_expected()
{
    Expected expected;
    expected.buffer_hash = get_expected_buffer_hash();
    expected.merkle_root = get_expected_merkle_root();
    expected.index_a = EXPECTED_INDEX_A;
    expected.index_b = EXPECTED_INDEX_B;
    expected.path_a = get_expected_path_a();
    expected.path_b = get_expected_path_b();
    expected.fast_mast_hash = get_expected_fast_mast_hash();
    return expected;
}
