/* Test hooks of the stand-in solver library.  They let the test suite reach
 * into a model: inject failures, fake a running optimisation, plant odd
 * messages and attributes, and read back exactly what the library stores.
 *
 * The hooks are not library calls in the usual sense: they are not counted
 * per model, and they never touch a handle's last error message (a test
 * that plants a message must not see it overwritten by the hook that reads
 * it back).  A hook reports failure through its result code and explains it
 * in VNTstandin_hook_error(). */
#ifndef VANTRO130_STANDIN_H
#define VANTRO130_STANDIN_H

#include <stddef.h>

#include "vantro130.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the library holds for one attribute value. */
typedef struct VNTstandin_value {
  int datatype;          /* the attribute's data type code */
  int is_null;           /* string value marked by VNTstandin_set_null_string */
  unsigned char charval; /* VNT_CHAR */
  int intval;            /* VNT_INT */
  double dblval;         /* VNT_DOUBLE */
  const char *strval;    /* VNT_STRING; library-owned, valid until the value changes */
  size_t strlen;
} VNTstandin_value;

/* Called once per function name with a nonzero count; a nonzero return
 * stops the walk and becomes the result of VNTstandin_calls. */
typedef int (*VNTstandin_call_visitor)(const char *name, unsigned long long count, void *ctx);

/* Why the last failing hook on this thread failed (never null). */
VNT_API const char *VNTstandin_hook_error(void);

/* The next attribute call on the model (get, set, list, prefetch or
 * VNTgetattrinfo) returns `code` and sets the last error message to the
 * `len` raw bytes of `message`.  Arming again replaces the pending failure. */
VNT_API int VNTstandin_fail_next(VNTmodel *model, int code, const char *message, size_t len);

/* While `flag` is nonzero, attribute get, set, list and prefetch calls answer
 * VNT_ERROR_OPTIMIZATION_IN_PROGRESS. */
VNT_API int VNTstandin_set_busy(VNTmodel *model, int flag);

/* Replace a handle's last error message with raw bytes (any encoding). */
VNT_API int VNTstandin_set_model_error_message(VNTmodel *model, const char *bytes, size_t len);
VNT_API int VNTstandin_set_env_error_message(VNTenv *env, const char *bytes, size_t len);

/* Make the handle's message read back as a null pointer, as a library with
 * no message at all would give it, until a message is next set. */
VNT_API int VNTstandin_set_model_null_message(VNTmodel *model);
VNT_API int VNTstandin_set_env_null_message(VNTenv *env);

/* Make a string value read back as a null pointer (with result 0) until it is
 * next written.  `index` is -1 for a model attribute. */
VNT_API int VNTstandin_set_null_string(VNTmodel *model, const char *attrname, int index);

/* Add an attribute to this model's catalogue, or redefine an existing one in
 * place (its values go back to the defaults).  Any data type code and kind is
 * accepted; typed calls on a data type outside 0..3 fail, VNTgetattrinfo
 * reports it. */
VNT_API int VNTstandin_define_attribute(VNTmodel *model, const char *attrname,
                                        int datatype, int kind, int settable);

/* While `flag` is nonzero, VNTgetnumattributes answers 0 for the model. */
VNT_API int VNTstandin_hide_attributes(VNTmodel *model, int flag);

/* The stored value; `index` is -1 for a model attribute. */
VNT_API int VNTstandin_raw_get(VNTmodel *model, const char *attrname, int index,
                               VNTstandin_value *out);

/* Per-model call counts of the library functions that take a model handle.
 * The counts are copied before the visitor runs, so it may call the library. */
VNT_API int VNTstandin_calls(VNTmodel *model, VNTstandin_call_visitor visit, void *ctx);
VNT_API int VNTstandin_reset_calls(VNTmodel *model);

#ifdef __cplusplus
}
#endif

#endif /* VANTRO130_STANDIN_H */
