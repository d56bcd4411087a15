// The internal side of the asset type tree: the stock vertex layouts by the
// names their exports carry, so that whoever meets a layout in a file names
// it from this one list.
#ifndef KELVO_FILE_INFO_INTERNAL_H
#define KELVO_FILE_INFO_INTERNAL_H

#include "kelvo2/kelvo2_file_info.h"

namespace kelvo {

struct stock_vertex_layout {
    char const *Name; // "PWNT3432" for KelvoPWNT3432VertexType
    kelvo_data_type_definition const *Type;
};

extern stock_vertex_layout const StockVertexLayouts[];
extern kelvo_int32 const StockVertexLayoutCount;

// The stock layout Type is structurally, names included; null when none.
stock_vertex_layout const *FindStockVertexLayout(kelvo_data_type_definition const *Type);

} // namespace kelvo

#endif
