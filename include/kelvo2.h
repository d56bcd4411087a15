/* kelvo2: run-time library for animated 3D characters. The one public
   header; it includes every area of the interface. */
#ifndef KELVO2_H
#define KELVO2_H

#include "kelvo2/kelvo2_types.h"
#include "kelvo2/kelvo2_log.h"
#include "kelvo2/kelvo2_memory.h"
#include "kelvo2/kelvo2_string.h"
#include "kelvo2/kelvo2_system_clock.h"
#include "kelvo2/kelvo2_version.h"
#include "kelvo2/kelvo2_counters.h"
#include "kelvo2/kelvo2_file_reader.h"
#include "kelvo2/kelvo2_file_writer.h"
#include "kelvo2/kelvo2_transform.h"
#include "kelvo2/kelvo2_data_type.h"
#include "kelvo2/kelvo2_data_type_conversion.h"
#include "kelvo2/kelvo2_file_format.h"
#include "kelvo2/kelvo2_file_builder.h"
#include "kelvo2/kelvo2_data_tree_writer.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "kelvo2/kelvo2_compression.h"
#include "kelvo2/kelvo2_file.h"
#include "kelvo2/kelvo2_file_info.h"
#include "kelvo2/kelvo2_skeleton.h"
#include "kelvo2/kelvo2_mesh.h"
#include "kelvo2/kelvo2_curve.h"
#include "kelvo2/kelvo2_deformer.h"

#endif
