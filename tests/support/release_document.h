#pragma once
// Release documents shaped like the code-hosting service's: assets with a nested uploader
// object, digests, and the fields around them, so that lookups meet what they meet for real.

#include <string>
#include <vector>

namespace murk::test {

struct AssetEntry {
    std::string name;
    std::string url;     // the browser_download_url
    std::string digest;  // the whole "digest" value, e.g. "sha256:..."; empty: no digest member
};

inline std::string AssetJson(const AssetEntry& asset, int id) {
    const std::string number = std::to_string(id);
    std::string json =
        "{\n        \"url\": \"https://api.example.test/repos/owner/repo/releases/assets/" +
        number + "\",\n        \"id\": " + number + ",\n        \"node_id\": \"RA_kwDOAXk" +
        number + "\",\n        \"name\": \"" + asset.name +
        "\",\n        \"label\": \"\",\n        \"uploader\": {\n"
        "          \"login\": \"github-actions[bot]\",\n          \"id\": 41898282,\n"
        "          \"node_id\": \"MDM6Qm90NDE4OTgyODI=\",\n"
        "          \"avatar_url\": \"https://avatars.example.test/in/15368?v=4\",\n"
        "          \"gravatar_id\": \"\",\n"
        "          \"url\": \"https://api.example.test/users/github-actions%5Bbot%5D\",\n"
        "          \"html_url\": \"https://example.test/apps/github-actions\",\n"
        "          \"followers_url\": \"https://api.example.test/users/bot/followers\",\n"
        "          \"following_url\": "
        "\"https://api.example.test/users/bot/following{/other_user}\",\n"
        "          \"gists_url\": \"https://api.example.test/users/bot/gists{/gist_id}\",\n"
        "          \"starred_url\": "
        "\"https://api.example.test/users/bot/starred{/owner}{/repo}\",\n"
        "          \"subscriptions_url\": \"https://api.example.test/users/bot/subscriptions\",\n"
        "          \"organizations_url\": \"https://api.example.test/users/bot/orgs\",\n"
        "          \"repos_url\": \"https://api.example.test/users/bot/repos\",\n"
        "          \"events_url\": \"https://api.example.test/users/bot/events{/privacy}\",\n"
        "          \"received_events_url\": "
        "\"https://api.example.test/users/bot/received_events\",\n"
        "          \"type\": \"Bot\",\n          \"user_view_type\": \"public\",\n"
        "          \"site_admin\": false\n        },\n"
        "        \"content_type\": \"application/zip\",\n        \"state\": \"uploaded\",\n"
        "        \"size\": 58382937,\n";
    if (!asset.digest.empty()) json += "        \"digest\": \"" + asset.digest + "\",\n";
    json +=
        "        \"download_count\": 1234,\n"
        "        \"created_at\": \"2024-11-26T10:21:35Z\",\n"
        "        \"updated_at\": \"2024-11-26T10:21:38Z\",\n"
        "        \"browser_download_url\": \"" +
        asset.url + "\"\n      }";
    return json;
}

// notes: extra release-notes text, as long releases carry.
inline std::string ReleaseDocument(const std::string& tag, const std::vector<AssetEntry>& assets,
                                   const std::string& notes = "") {
    std::string json =
        "{\n  \"url\": \"https://api.example.test/repos/owner/repo/releases/186437912\",\n"
        "  \"html_url\": \"https://example.test/owner/repo/releases/tag/" +
        tag +
        "\",\n  \"id\": 186437912,\n  \"author\": {\n    \"login\": \"maintainer\",\n"
        "    \"id\": 127790,\n    \"type\": \"User\",\n    \"site_admin\": false\n  },\n"
        "  \"node_id\": \"RE_kwDOAXk\",\n  \"tag_name\": \"" +
        tag + "\",\n  \"target_commitish\": \"main\",\n  \"name\": \"Release " + tag +
        "\",\n  \"draft\": false,\n  \"prerelease\": false,\n"
        "  \"created_at\": \"2024-11-25T14:02:44Z\",\n"
        "  \"published_at\": \"2024-11-26T10:25:02Z\",\n  \"assets\": [\n";
    for (std::size_t i = 0; i < assets.size(); ++i) {
        json += "      " + AssetJson(assets[i], static_cast<int>(200000 + i));
        json += i + 1 < assets.size() ? ",\n" : "\n";
    }
    json += "  ],\n  \"tarball_url\": \"https://api.example.test/repos/owner/repo/tarball/" + tag +
            "\",\n  \"zipball_url\": \"https://api.example.test/repos/owner/repo/zipball/" + tag +
            "\",\n  \"body\": \"Changes in this release:\\r\\n* fixes {braces} and "
            "\\\"quotes\\\"" +
            notes + "\"\n}\n";
    return json;
}

}  // namespace murk::test
