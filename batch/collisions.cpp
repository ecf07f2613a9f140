#include "collisions.h"

#include <sys/stat.h>

#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "overlay.h"
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

// Most outputs share one folder: each folder is resolved once, and kept in `known`.
const std::string& canonical_folder(const std::string& folder, std::map<std::string, std::string>& known) {
    auto found = known.find(folder);
    if (found == known.end()) found = known.emplace(folder, canonical_path(folder)).first;
    return found->second;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::vector<OutputCollision> output_collisions(const std::vector<PairJob>& pairs,
                                               const std::string& output_dir) {
    std::map<std::string, std::string> canonical_folders;
    std::map<std::string, Writers> writers;
    for (const PairJob& p : pairs) {
        if (!may_write(p)) continue;
        const std::string& folder = canonical_folder(output_folder_for(output_dir, p.img), canonical_folders);
        const auto [img_out, cam_out] = aligned_file_paths(output_dir, p.img, p.cam);
        const std::pair<std::string, std::string> outputs[2] = {{img_out, p.img}, {cam_out, p.cam}};
        for (const auto& [output, source] : outputs) {
            Writers& w = writers[folder + "/" + file_name_of(output)];
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
        text += (text.empty() ? "  " : "\n  ") + c.output + ":";
        for (std::size_t k = 0; k < c.sources.size(); ++k) text += (k == 0 ? " " : ", ") + c.sources[k];
    }
    return text;
}

std::vector<RunFile> planned_outputs(const std::vector<PairJob>& pairs, const std::string& output_dir,
                                     bool overlays) {
    std::vector<RunFile> outputs;
    for (const PairJob& p : pairs) {
        if (!may_write(p)) continue;
        const auto [img_out, cam_out] = aligned_file_paths(output_dir, p.img, p.cam);
        outputs.push_back({img_out, "the aligned reference of " + p.img});
        outputs.push_back({cam_out, "the aligned camera image of " + p.cam});
        if (overlays) outputs.push_back({overlay_path(output_dir, p.img), "the overlay of " + p.img});
    }
    return outputs;
}

std::vector<OutputClash> output_input_clashes(const std::vector<RunFile>& outputs,
                                              const std::vector<RunFile>& inputs) {
    std::unordered_map<std::string, const RunFile*> read;
    for (const RunFile& input : inputs) {
        read.emplace(input.canonical.empty() ? canonical_path(input.path) : input.canonical, &input);
    }
    std::map<std::string, std::string> canonical_folders;
    std::vector<OutputClash> clashes;
    for (const RunFile& output : outputs) {
        const std::string& folder = canonical_folder(folder_of(output.path), canonical_folders);
        const std::string place = (folder == "/" ? "" : folder) + "/" + file_name_of(output.path);
        const auto input = read.find(place);
        if (input != read.end()) clashes.push_back({output, *input->second});
    }
    return clashes;
}

std::string describe(const std::vector<OutputClash>& clashes) {
    std::string text;
    for (const OutputClash& c : clashes) {
        text += (text.empty() ? "  " : "\n  ") + c.output.path + " (" + c.output.what + ") is " + c.input.what + " " +
                c.input.path;
    }
    return text;
}
