// One pass of the program's patch reader, as blocks of their own: the windows' blocks in order,
// the pieces of each long block joined again. `piecesAgree` is cleared when a long block's
// pieces add up to another length than its windows give.
#pragma once

#include "apply/patch_reader.h"
#include "support/blocks.h"

#include <vector>

inline std::vector<ModelBlock> blocksOfOnePass(PatchReader& reader, bool& piecesAgree) {
    std::vector<ModelBlock> blocks;
    ModelBlock whole;
    PatchWindow window;
    reader.restart();
    while (reader.next(window)) {
        for (const ModelBlock& block : blocksOf(*window.blocks)) {
            if (!window.piece) {
                blocks.push_back(block);
                continue;
            }
            whole.appendPairs(block.originalBytes.data(), block.patchedBytes.data(),
                              block.length());
            if (window.closesBlock) {
                whole.offset = window.blockOffset;
                piecesAgree = piecesAgree && whole.length() == window.blockLength;
                blocks.push_back(whole);
                whole = ModelBlock();
            }
        }
    }
    return blocks;
}
