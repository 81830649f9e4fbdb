/* The solver library's C calls that the native modules use, plus the calls
 * that make environments, models and elements.  Handles are opaque; every
 * call validates the handle it is given and answers VNT_ERROR_INVALID_HANDLE
 * for a freed or forged one instead of touching memory. */
#ifndef VANTRO130_H
#define VANTRO130_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VNT_API __attribute__((visibility("default")))
#else
#define VNT_API
#endif

typedef struct VNTenv VNTenv;
typedef struct VNTmodel VNTmodel;

/* Error codes. */
#define VNT_ERROR_OUT_OF_MEMORY            7001
#define VNT_ERROR_NULL_ARGUMENT            7002
#define VNT_ERROR_INVALID_ARGUMENT         7003
#define VNT_ERROR_UNKNOWN_ATTRIBUTE        7004
#define VNT_ERROR_DATA_NOT_AVAILABLE       7005
#define VNT_ERROR_INDEX_OUT_OF_RANGE       7006
#define VNT_ERROR_OPTIMIZATION_IN_PROGRESS 7007
#define VNT_ERROR_NOT_SUPPORTED            7008
#define VNT_ERROR_INVALID_HANDLE           7009

/* Attribute data types. */
#define VNT_CHAR   0
#define VNT_INT    1
#define VNT_DOUBLE 2
#define VNT_STRING 3

/* Element kinds (the "size" of an attribute). */
#define VNT_KIND_MODEL     0
#define VNT_KIND_VAR       1
#define VNT_KIND_CONSTR    2
#define VNT_KIND_QCONSTR   3
#define VNT_KIND_GENCONSTR 4
#define VNT_KIND_SOS       5

#define VNT_INFINITY  1e30
#define VNT_UNDEFINED 1e31

/* Environments, models and elements. */
VNT_API int  VNTnewenv(VNTenv **envP, const char *license);
VNT_API int  VNTfreeenv(VNTenv *env);
VNT_API int  VNTnewmodel(VNTenv *env, VNTmodel **modelP, const char *name);
VNT_API int  VNTfreemodel(VNTmodel *model);
VNT_API int  VNTaddelement(VNTmodel *model, int kind, int *indexP);
VNT_API int  VNTdelelement(VNTmodel *model, int kind, int index);
VNT_API int  VNTgetnumelements(VNTmodel *model, int kind, int *countP);

/* Error messages: never null, owned by the library. */
VNT_API const char *VNTgeterrormsg(VNTenv *env);
VNT_API const char *VNTgetmerrormsg(VNTmodel *model);

/* Attribute metadata. */
VNT_API int VNTgetattrinfo(VNTmodel *model, const char *attrname,
                           int *datatypeP, int *sizeP, int *settableP);
VNT_API int VNTgetnumattributes(VNTmodel *model);
VNT_API int VNTgetattrname(VNTmodel *model, int i, char **attrnameP);
VNT_API int VNTprefetchattr(VNTmodel *model, const char *attrname);

/* Model-level values. */
VNT_API int VNTgetintattr(VNTmodel *model, const char *attrname, int *valueP);
VNT_API int VNTgetdblattr(VNTmodel *model, const char *attrname, double *valueP);
VNT_API int VNTgetstrattr(VNTmodel *model, const char *attrname, char **valueP);
VNT_API int VNTsetintattr(VNTmodel *model, const char *attrname, int value);
VNT_API int VNTsetdblattr(VNTmodel *model, const char *attrname, double value);
VNT_API int VNTsetstrattr(VNTmodel *model, const char *attrname, const char *value);

/* Single elements. */
VNT_API int VNTgetcharattrelement(VNTmodel *model, const char *attrname, int element, char *valueP);
VNT_API int VNTgetintattrelement(VNTmodel *model, const char *attrname, int element, int *valueP);
VNT_API int VNTgetdblattrelement(VNTmodel *model, const char *attrname, int element, double *valueP);
VNT_API int VNTgetstrattrelement(VNTmodel *model, const char *attrname, int element, char **valueP);
VNT_API int VNTsetcharattrelement(VNTmodel *model, const char *attrname, int element, char value);
VNT_API int VNTsetintattrelement(VNTmodel *model, const char *attrname, int element, int value);
VNT_API int VNTsetdblattrelement(VNTmodel *model, const char *attrname, int element, double value);
VNT_API int VNTsetstrattrelement(VNTmodel *model, const char *attrname, int element, const char *value);

/* Lists: count entries in ind and values, owned by the caller. */
VNT_API int VNTgetcharattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char *values);
VNT_API int VNTgetintattrlist(VNTmodel *model, const char *attrname, int len, int *ind, int *values);
VNT_API int VNTgetdblattrlist(VNTmodel *model, const char *attrname, int len, int *ind, double *values);
VNT_API int VNTgetstrattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char **values);
VNT_API int VNTsetcharattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char *values);
VNT_API int VNTsetintattrlist(VNTmodel *model, const char *attrname, int len, int *ind, int *values);
VNT_API int VNTsetdblattrlist(VNTmodel *model, const char *attrname, int len, int *ind, double *values);
VNT_API int VNTsetstrattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char **values);

#ifdef __cplusplus
}
#endif

#endif /* VANTRO130_H */
