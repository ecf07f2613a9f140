#include "collisions.h"

#include <sys/stat.h>

#include <map>
#include <set>
#include <utility>

#include "paths.h"
#include "utils.h"

namespace {

struct Writers {
    std::string output;
    std::set<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> sources;
};

std::string file_name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A pair with an absent image is reported missing and writes nothing.
bool may_write(const PairJob& p) {
    struct stat st;
    return stat(p.img.c_str(), &st) == 0 && stat(p.cam.c_str(), &st) == 0;
}

}  // namespace

std::vector<OutputCollision> output_collisions(const std::vector<PairJob>& pairs,
                                               const std::string& output_dir) {
    std::map<std::string, std::string> canonical_folders;  // most pairs share one folder
    std::map<std::string, Writers> writers;
    for (const PairJob& p : pairs) {
        if (!may_write(p)) continue;
        const std::string folder = output_folder_for(output_dir, p.img);
        auto known = canonical_folders.find(folder);
        if (known == canonical_folders.end()) known = canonical_folders.emplace(folder, canonical_path(folder)).first;
        const auto [img_out, cam_out] = aligned_file_paths(output_dir, p.img, p.cam);
        const std::pair<std::string, std::string> outputs[2] = {{img_out, p.img}, {cam_out, p.cam}};
        for (const auto& [output, source] : outputs) {
            Writers& w = writers[known->second + "/" + file_name_of(output)];
            if (w.output.empty()) w.output = output;
            if (w.pairs.insert({p.img_canonical, p.cam_canonical}).second) w.sources.push_back(source);
        }
    }
    std::vector<OutputCollision> collisions;
    for (const auto& [place, w] : writers) {
        if (w.pairs.size() > 1) collisions.push_back({w.output, w.sources});
    }
    return collisions;
}

std::string describe(const std::vector<OutputCollision>& collisions) {
    std::string text;
    for (const OutputCollision& c : collisions) {
        text += "  " + c.output + ":";
        for (std::size_t k = 0; k < c.sources.size(); ++k) text += (k == 0 ? " " : ", ") + c.sources[k];
        text += "\n";
    }
    if (!text.empty()) text.pop_back();
    return text;
}
