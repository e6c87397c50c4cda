/* The MEX interface: the contract between the plug-ins and any host that
 * loads them. The subset the plug-ins and the tests use, declared as the real
 * interface declares it (predicates return bool, sizes are mwSize), so that
 * the same plug-in sources build against Octave's and MATLAB's own mex.h and
 * agree with any host at the level of the calling convention. */
#ifndef QUORV_MEX_H
#define QUORV_MEX_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;

typedef size_t mwSize;  /* 64-bit sizes, as in current hosts */
typedef size_t mwIndex;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

/* The gateway every plug-in exports. */
void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* Array inspection. */
mwSize mxGetNumberOfDimensions(const mxArray *a);
const mwSize *mxGetDimensions(const mxArray *a);
size_t mxGetM(const mxArray *a);
size_t mxGetN(const mxArray *a);
size_t mxGetNumberOfElements(const mxArray *a);
double mxGetScalar(const mxArray *a);
double *mxGetPr(const mxArray *a);
double *mxGetPi(const mxArray *a);
void *mxGetData(const mxArray *a);
mxClassID mxGetClassID(const mxArray *a);
bool mxIsDouble(const mxArray *a);
bool mxIsSingle(const mxArray *a);
bool mxIsNumeric(const mxArray *a);
bool mxIsLogical(const mxArray *a);
bool mxIsChar(const mxArray *a);
bool mxIsCell(const mxArray *a);
bool mxIsStruct(const mxArray *a);
bool mxIsComplex(const mxArray *a);
bool mxIsSparse(const mxArray *a);
bool mxIsEmpty(const mxArray *a);

/* Array creation and release. */
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity flag);
mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray *mxCreateDoubleScalar(double value);
void mxDestroyArray(mxArray *a);

/* Host memory: blocks still allocated when a call ends are released by the host. */
void *mxCalloc(mwSize n, mwSize size);
void *mxRealloc(void *ptr, mwSize size);
void mxFree(void *ptr);

/* Console, errors and the flop counter. The counter belongs to the first
 * hosts only; current ones do not export it, so plug-ins import it weakly. */
int mexPrintf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void mexErrMsgTxt(const char *message);
void mexWarnMsgTxt(const char *message);
void mexAddFlops(int count);

#ifdef __cplusplus
}
#endif

#endif
