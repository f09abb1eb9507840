#!/usr/bin/python3
"""Converts the person-segmentation TFLite network into an ONNX graph.

Usage: tflite_to_onnx.py IN.tflite OUT.onnx

Only the operators that network uses are translated; any other one stops the conversion
with its name. The ONNX graph keeps the TFLite interface (NHWC input and output, same tensor
names) and runs NCHW inside, with one transpose at each end.
"""

import os
import struct
import sys
from collections import Counter

import flatbuffers
import numpy as np
import onnx
from flatbuffers import number_types as fbn
from onnx import TensorProto, helper, numpy_helper

OPSET = 17


class ConversionError(Exception):
    pass


# --- A reader of the few TFLite schema fields used below -------------------------------------
# Field numbers are the declaration order in TFLite's schema.fbs (vtable slot 4 + 2 * field).

class _Table:
    def __init__(self, buf, pos):
        self._t = flatbuffers.table.Table(buf, pos)

    def _offset(self, field):
        return self._t.Offset(4 + 2 * field)

    def scalar(self, field, flags, default=0):
        o = self._offset(field)
        return self._t.Get(flags, self._t.Pos + o) if o else default

    def string(self, field):
        o = self._offset(field)
        return self._t.String(self._t.Pos + o).decode("utf-8") if o else ""

    def table(self, field):
        o = self._offset(field)
        return _Table(self._t.Bytes, self._t.Indirect(self._t.Pos + o)) if o else None

    def tables(self, field):
        o = self._offset(field)
        if not o:
            return []
        start = self._t.Vector(o)
        return [_Table(self._t.Bytes, self._t.Indirect(start + 4 * i))
                for i in range(self._t.VectorLen(o))]

    def vector(self, field, flags):
        o = self._offset(field)
        if not o:
            return np.zeros(0, dtype=fbn.to_numpy_type(flags))
        return self._t.GetVectorAsNumpy(flags, o).copy()


# BuiltinOperator values (only the ones translated here, plus CUSTOM).
ADD, AVERAGE_POOL_2D, CONV_2D, DEPTHWISE_CONV_2D, DEQUANTIZE = 0, 1, 3, 4, 6
LOGISTIC, MUL, RELU, RESIZE_BILINEAR, CUSTOM, HARD_SWISH = 14, 18, 19, 23, 32, 117
# BuiltinOperator names in code order, for naming a refused operator.
BUILTIN_NAMES = """
ADD AVERAGE_POOL_2D CONCATENATION CONV_2D DEPTHWISE_CONV_2D DEPTH_TO_SPACE DEQUANTIZE
EMBEDDING_LOOKUP FLOOR FULLY_CONNECTED HASHTABLE_LOOKUP L2_NORMALIZATION L2_POOL_2D
LOCAL_RESPONSE_NORMALIZATION LOGISTIC LSH_PROJECTION LSTM MAX_POOL_2D MUL RELU
RELU_N1_TO_1 RELU6 RESHAPE RESIZE_BILINEAR RNN SOFTMAX SPACE_TO_DEPTH SVDF TANH
CONCAT_EMBEDDINGS SKIP_GRAM CALL CUSTOM EMBEDDING_LOOKUP_SPARSE PAD
UNIDIRECTIONAL_SEQUENCE_RNN GATHER BATCH_TO_SPACE_ND SPACE_TO_BATCH_ND TRANSPOSE MEAN SUB
DIV SQUEEZE UNIDIRECTIONAL_SEQUENCE_LSTM STRIDED_SLICE BIDIRECTIONAL_SEQUENCE_RNN EXP
TOPK_V2 SPLIT LOG_SOFTMAX DELEGATE BIDIRECTIONAL_SEQUENCE_LSTM CAST PRELU MAXIMUM ARG_MAX
MINIMUM LESS NEG PADV2 GREATER GREATER_EQUAL LESS_EQUAL SELECT SLICE SIN TRANSPOSE_CONV
SPARSE_TO_DENSE TILE EXPAND_DIMS EQUAL NOT_EQUAL LOG SUM SQRT RSQRT SHAPE POW ARG_MIN
FAKE_QUANT REDUCE_PROD REDUCE_MAX PACK LOGICAL_OR ONE_HOT LOGICAL_AND LOGICAL_NOT UNPACK
REDUCE_MIN FLOOR_DIV REDUCE_ANY SQUARE ZEROS_LIKE FILL FLOOR_MOD RANGE
RESIZE_NEAREST_NEIGHBOR LEAKY_RELU SQUARED_DIFFERENCE MIRROR_PAD ABS SPLIT_V UNIQUE CEIL
REVERSE_V2 ADD_N GATHER_ND COS WHERE RANK ELU REVERSE_SEQUENCE MATRIX_DIAG QUANTIZE
MATRIX_SET_DIAG ROUND HARD_SWISH IF WHILE NON_MAX_SUPPRESSION_V4 NON_MAX_SUPPRESSION_V5
SCATTER_ND SELECT_V2 DENSIFY SEGMENT_SUM BATCH_MATMUL PLACEHOLDER_FOR_GREATER_OP_CODES
CUMSUM CALL_ONCE BROADCAST_TO RFFT2D CONV_3D IMAG REAL COMPLEX_ABS HASHTABLE
HASHTABLE_FIND HASHTABLE_IMPORT HASHTABLE_SIZE REDUCE_ALL CONV_3D_TRANSPOSE VAR_HANDLE
READ_VARIABLE ASSIGN_VARIABLE BROADCAST_ARGS RANDOM_STANDARD_NORMAL BUCKETIZE
RANDOM_UNIFORM MULTINOMIAL GELU DYNAMIC_UPDATE_SLICE RELU_0_TO_1 UNSORTED_SEGMENT_PROD
UNSORTED_SEGMENT_MAX UNSORTED_SEGMENT_SUM ATAN2 UNSORTED_SEGMENT_MIN SIGN BITCAST
BITWISE_XOR RIGHT_SHIFT
""".split()

# BuiltinOptions union member for each operator, checked so a misread field is caught.
OPTIONS_TYPE = {CONV_2D: 1, DEPTHWISE_CONV_2D: 2, AVERAGE_POOL_2D: 5, ADD: 11,
                RESIZE_BILINEAR: 15, MUL: 21}

# TensorType
FLOAT32, FLOAT16, INT32 = 0, 1, 2
NUMPY_TYPES = {FLOAT32: np.float32, FLOAT16: np.float16, INT32: np.int32}
TYPE_NAMES = {0: "FLOAT32", 1: "FLOAT16", 2: "INT32", 3: "UINT8", 4: "INT64", 5: "STRING",
              6: "BOOL", 7: "INT16", 8: "COMPLEX64", 9: "INT8", 10: "FLOAT64"}

TRANSPOSE_CONV_BIAS = "Convolution2DTransposeBias"


class Tensor:
    def __init__(self, index, name, shape, dtype, data):
        self.index, self.name, self.shape, self.dtype, self.data = index, name, shape, dtype, data


class Operator:
    def __init__(self, code, custom, inputs, outputs, options_type, options, custom_options):
        self.code, self.custom = code, custom
        self.inputs, self.outputs = inputs, outputs
        self.options_type, self.options, self.custom_options = options_type, options, custom_options

    @property
    def name(self):
        if self.code == CUSTOM:
            return "CUSTOM(%s)" % self.custom
        if 0 <= self.code < len(BUILTIN_NAMES):
            return BUILTIN_NAMES[self.code]
        return "builtin operator %d" % self.code


def read_tflite(data):
    if len(data) < 8 or data[4:8] != b"TFL3":
        raise ConversionError("not a TFLite flatbuffer (no TFL3 identifier)")
    buf = bytearray(data)
    model = _Table(buf, flatbuffers.encode.Get(fbn.UOffsetTFlags.packer_type, buf, 0))
    # Model: operator_codes=1, subgraphs=2, buffers=4.
    codes = []
    for oc in model.tables(1):
        # OperatorCode: deprecated_builtin_code=0 (int8), custom_code=1, builtin_code=3 (int32).
        # Files written before the int32 field keep the code in the int8 one only.
        code = max(oc.scalar(0, fbn.Int8Flags), oc.scalar(3, fbn.Int32Flags))
        codes.append((code, oc.string(1)))
    buffers = []
    for b in model.tables(4):
        # Buffer: data=0, offset=1. Files over 2 GiB keep data after the flatbuffer instead.
        if b.scalar(1, fbn.Uint64Flags) > 1:
            raise ConversionError("buffers stored outside the flatbuffer are not handled")
        buffers.append(b.vector(0, fbn.Uint8Flags))
    subgraphs = model.tables(2)
    if len(subgraphs) != 1:
        raise ConversionError("expected one subgraph, found %d" % len(subgraphs))
    sg = subgraphs[0]
    tensors = []
    # SubGraph: tensors=0, inputs=1, outputs=2, operators=3.
    for i, t in enumerate(sg.tables(0)):
        # Tensor: shape=0, type=1, buffer=2, name=3.
        ttype = t.scalar(1, fbn.Int8Flags)
        raw = buffers[t.scalar(2, fbn.Uint32Flags)]
        shape = [int(d) for d in t.vector(0, fbn.Int32Flags)]
        value = None
        if raw.size:
            if ttype not in NUMPY_TYPES:
                raise ConversionError("constant tensor %s has unsupported type %s"
                                      % (t.string(3), TYPE_NAMES.get(ttype, ttype)))
            value = np.frombuffer(raw.tobytes(), dtype=NUMPY_TYPES[ttype]).reshape(shape)
        tensors.append(Tensor(i, t.string(3), shape, ttype, value))
    ops = []
    for o in sg.tables(3):
        # Operator: opcode_index=0, inputs=1, outputs=2, builtin_options_type=3,
        # builtin_options=4, custom_options=5.
        code, custom = codes[o.scalar(0, fbn.Uint32Flags)]
        ops.append(Operator(code, custom,
                            [int(x) for x in o.vector(1, fbn.Int32Flags)],
                            [int(x) for x in o.vector(2, fbn.Int32Flags)],
                            o.scalar(3, fbn.Uint8Flags), o.table(4),
                            o.vector(5, fbn.Uint8Flags).tobytes()))
    inputs = [int(x) for x in sg.vector(1, fbn.Int32Flags)]
    outputs = [int(x) for x in sg.vector(2, fbn.Int32Flags)]
    return tensors, ops, inputs, outputs


# --- Translation --------------------------------------------------------------------------

# ActivationFunctionType -> (ONNX operator, Clip bounds); 0 is NONE.
ACTIVATIONS = {1: ("Relu", ()), 2: ("Clip", (-1.0, 1.0)), 3: ("Clip", (0.0, 6.0)),
               4: ("Tanh", ())}
# Padding in schema options: SAME=0, VALID=1. TfLitePadding in the custom op's C struct:
# unknown=0, SAME=1, VALID=2.
SAME, VALID = "SAME", "VALID"


def padding(op, options):
    code = options.scalar(0, fbn.Int8Flags)  # the first field of every options table using it
    if code not in (0, 1):
        raise ConversionError("%s: unknown padding %d" % (op.name, code))
    return (SAME, VALID)[code]


def same_pads(in_size, kernel, stride, dilation=1):
    # TensorFlow puts the odd padding pixel after the image (bottom/right).
    out = -(-in_size // stride)
    total = max((out - 1) * stride + (kernel - 1) * dilation + 1 - in_size, 0)
    return total // 2, total - total // 2


def conv_pads(padding, in_hw, k_hw, strides, dilations=(1, 1)):
    if padding == VALID:
        return [0, 0, 0, 0]
    (t, b), (l, r) = (same_pads(in_hw[i], k_hw[i], strides[i], dilations[i]) for i in range(2))
    return [t, l, b, r]


class Converter:
    def __init__(self, tensors, ops, inputs, outputs):
        self.tensors, self.ops = tensors, ops
        self.graph_inputs, self.graph_outputs = inputs, outputs
        self.const = {t.index: t.data for t in tensors if t.data is not None}
        self.names = {}  # runtime tensor index -> ONNX name of its NCHW value
        self.nodes, self.initializers = [], []
        self.used_names = set()
        self.scalars = {}
        self.census = Counter()

    def unique(self, base):
        name, n = base, 1
        while name in self.used_names:
            n += 1
            name = "%s_%d" % (base, n)
        self.used_names.add(name)
        return name

    def add_const(self, base, array):
        name = self.unique(base)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def runtime(self, op, index):
        if index in self.const:
            raise ConversionError("%s: input %s is a constant where a runtime tensor is needed"
                                  % (op.name, self.tensors[index].name))
        if index not in self.names:
            raise ConversionError("%s: input %s is used before it is produced"
                                  % (op.name, self.tensors[index].name))
        return self.names[index]

    def constant(self, op, index, what):
        if index < 0 or index not in self.const:
            raise ConversionError("%s: the %s must be a constant" % (op.name, what))
        return self.const[index]

    def output(self, op, node, activation=0):
        """Names `node`'s result after the operator's single output, applying a fused
        activation."""
        if len(op.outputs) != 1:
            raise ConversionError("%s: expected one output, found %d" % (op.name, len(op.outputs)))
        t = self.tensors[op.outputs[0]]
        if len(t.shape) != 4 or t.dtype != FLOAT32:
            raise ConversionError("%s: output %s is not a float32 NHWC tensor" % (op.name, t.name))
        name = self.unique(t.name or "t%d" % t.index)
        if activation:
            if activation not in ACTIVATIONS:
                raise ConversionError("%s: unsupported fused activation %d" % (op.name, activation))
            act, bounds = ACTIVATIONS[activation]
            node.output[0] = self.unique(name + "/pre_activation")
            ins = [node.output[0]] + [self.scalar_const(v) for v in bounds]
            self.nodes.append(helper.make_node(act, ins, [name]))
        else:
            node.output[0] = name
        self.names[t.index] = name

    def scalar_const(self, value):
        if value not in self.scalars:
            self.scalars[value] = self.add_const("scalar/%g" % value, np.array(value, np.float32))
        return self.scalars[value]

    def node(self, op_type, inputs, **attrs):
        n = helper.make_node(op_type, inputs, ["?"], **attrs)
        self.nodes.append(n)
        return n

    def options(self, op, required=True):
        if op.options is None and required:
            raise ConversionError("%s: no options" % op.name)
        want = OPTIONS_TYPE.get(op.code)
        if want is not None and op.options is not None and op.options_type != want:
            raise ConversionError("%s: options of union type %d, expected %d"
                                  % (op.name, op.options_type, want))
        return op.options

    def shape(self, index):
        return self.tensors[index].shape

    # Each handler translates one TFLite operator.

    def dequantize(self, op):
        src = self.tensors[op.inputs[0]]
        if src.data is None or src.dtype != FLOAT16:
            raise ConversionError("DEQUANTIZE: only float16 constants are handled (%s is %s%s)"
                                  % (src.name, TYPE_NAMES.get(src.dtype, src.dtype),
                                     "" if src.data is not None else ", not constant"))
        self.const[op.outputs[0]] = src.data.astype(np.float32)

    def conv_2d(self, op):
        o = self.options(op)
        # Conv2DOptions: padding=0, stride_w=1, stride_h=2, fused_activation=3, dilation_w=4,
        # dilation_h=5.
        pad = padding(op, o)
        strides = [o.scalar(2, fbn.Int32Flags), o.scalar(1, fbn.Int32Flags)]
        dilations = [o.scalar(5, fbn.Int32Flags, 1), o.scalar(4, fbn.Int32Flags, 1)]
        x = self.runtime(op, op.inputs[0])
        w = self.constant(op, op.inputs[1], "filter")  # [O, H, W, I]
        in_c = self.shape(op.inputs[0])[3]
        if in_c % w.shape[3]:
            raise ConversionError("CONV_2D: %d input channels for a filter of depth %d"
                                  % (in_c, w.shape[3]))
        ins = [x, self.add_const(self.tensors[op.inputs[1]].name or "w", w.transpose(0, 3, 1, 2))]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            ins.append(self.add_const(self.tensors[op.inputs[2]].name or "b",
                                      self.constant(op, op.inputs[2], "bias").astype(np.float32)))
        n = self.node("Conv", ins, kernel_shape=list(w.shape[1:3]), strides=strides,
                      dilations=dilations, group=in_c // w.shape[3],
                      pads=conv_pads(pad, self.shape(op.inputs[0])[1:3], w.shape[1:3],
                                     strides, dilations))
        self.output(op, n, o.scalar(3, fbn.Int8Flags))

    def depthwise_conv_2d(self, op):
        o = self.options(op)
        # DepthwiseConv2DOptions: padding=0, stride_w=1, stride_h=2, depth_multiplier=3,
        # fused_activation=4, dilation_w=5, dilation_h=6.
        pad = padding(op, o)
        strides = [o.scalar(2, fbn.Int32Flags), o.scalar(1, fbn.Int32Flags)]
        dilations = [o.scalar(6, fbn.Int32Flags, 1), o.scalar(5, fbn.Int32Flags, 1)]
        x = self.runtime(op, op.inputs[0])
        w = self.constant(op, op.inputs[1], "filter")  # [1, H, W, C * multiplier]
        in_c = self.shape(op.inputs[0])[3]
        if w.shape[0] != 1 or w.shape[3] % in_c:
            raise ConversionError("DEPTHWISE_CONV_2D: filter %s for %d channels"
                                  % (list(w.shape), in_c))
        # Output channel c * multiplier + m is group c's m-th output in ONNX as well.
        ins = [x, self.add_const(self.tensors[op.inputs[1]].name or "w",
                                 w[0].transpose(2, 0, 1)[:, None, :, :])]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            ins.append(self.add_const(self.tensors[op.inputs[2]].name or "b",
                                      self.constant(op, op.inputs[2], "bias").astype(np.float32)))
        n = self.node("Conv", ins, kernel_shape=list(w.shape[1:3]), strides=strides,
                      dilations=dilations, group=in_c,
                      pads=conv_pads(pad, self.shape(op.inputs[0])[1:3], w.shape[1:3],
                                     strides, dilations))
        self.output(op, n, o.scalar(4, fbn.Int8Flags))

    def average_pool_2d(self, op):
        o = self.options(op)
        # Pool2DOptions: padding=0, stride_w=1, stride_h=2, filter_width=3, filter_height=4,
        # fused_activation=5.
        pad = padding(op, o)
        strides = [o.scalar(2, fbn.Int32Flags), o.scalar(1, fbn.Int32Flags)]
        kernel = [o.scalar(4, fbn.Int32Flags), o.scalar(3, fbn.Int32Flags)]
        x = self.runtime(op, op.inputs[0])
        in_hw = self.shape(op.inputs[0])[1:3]
        if kernel == list(in_hw) and self.shape(op.outputs[0])[1:3] == [1, 1]:
            n = self.node("GlobalAveragePool", [x])
        else:
            # TensorFlow averages over the pixels inside the image only.
            n = self.node("AveragePool", [x], kernel_shape=kernel, strides=strides,
                          pads=conv_pads(pad, in_hw, kernel, strides), count_include_pad=0)
        self.output(op, n, o.scalar(5, fbn.Int8Flags))

    def nchw_operand(self, op, index):
        if index in self.const:
            # Right-aligned NHWC broadcasting becomes NCHW broadcasting once the constant is
            # widened to rank 4 and transposed like the activations.
            c = self.const[index].astype(np.float32)
            if c.ndim > 4:
                raise ConversionError("%s: constant of rank %d" % (op.name, c.ndim))
            c = c.reshape((1,) * (4 - c.ndim) + c.shape).transpose(0, 3, 1, 2)
            return self.add_const(self.tensors[index].name or "c", c)
        if len(self.shape(index)) != 4:
            raise ConversionError("%s: runtime operand of rank %d" % (op.name, len(self.shape(index))))
        return self.runtime(op, index)

    def binary(self, op, onnx_op):
        o = self.options(op, required=False)
        # AddOptions and MulOptions: fused_activation=0.
        act = o.scalar(0, fbn.Int8Flags) if o is not None else 0
        a, b = op.inputs
        if a in self.const and b in self.const:
            raise ConversionError("%s: both operands are constants" % op.name)
        n = self.node(onnx_op, [self.nchw_operand(op, a), self.nchw_operand(op, b)])
        self.output(op, n, act)

    def unary(self, op, onnx_op, **attrs):
        self.output(op, self.node(onnx_op, [self.runtime(op, op.inputs[0])], **attrs))

    def resize_bilinear(self, op):
        o = self.options(op, required=False)
        # ResizeBilinearOptions: new_height=0 and new_width=1 (unused), align_corners=2,
        # half_pixel_centers=3.
        align = bool(o.scalar(2, fbn.BoolFlags)) if o is not None else False
        half = bool(o.scalar(3, fbn.BoolFlags)) if o is not None else False
        mode = "align_corners" if align else "half_pixel" if half else "asymmetric"
        size = self.constant(op, op.inputs[1], "size")
        n, _, _, c = self.shape(op.inputs[0])
        sizes = self.add_const(self.tensors[op.outputs[0]].name + "/sizes",
                               np.array([n, c, size[0], size[1]], np.int64))
        self.output(op, self.node("Resize", [self.runtime(op, op.inputs[0]), "", "", sizes],
                                  mode="linear", coordinate_transformation_mode=mode))

    def transpose_conv_bias(self, op):
        # The custom options are the raw bytes of the C struct
        # { TfLitePadding padding; int stride_width; int stride_height; }.
        if len(op.custom_options) != 12:
            raise ConversionError("%s: %d bytes of options, expected 12"
                                  % (op.name, len(op.custom_options)))
        pad_code, stride_w, stride_h = struct.unpack("<3i", op.custom_options)
        if pad_code not in (1, 2):
            raise ConversionError("%s: unknown padding %d" % (op.name, pad_code))
        x = self.runtime(op, op.inputs[0])
        w = self.constant(op, op.inputs[1], "filter")  # [O, H, W, I]
        b = self.constant(op, op.inputs[2], "bias").astype(np.float32)
        in_hw = self.shape(op.inputs[0])[1:3]
        out_hw = self.shape(op.outputs[0])[1:3]
        strides = [stride_h, stride_w]
        pads, extra = [0, 0, 0, 0], [0, 0]
        for i in range(2):
            k, s = w.shape[1 + i], strides[i]
            expect = in_hw[i] * s if pad_code == 1 else (in_hw[i] - 1) * s + k
            if out_hw[i] != expect:
                raise ConversionError("%s: output size %d, expected %d" % (op.name, out_hw[i], expect))
            # The kernel pads as the forward convolution from out_hw to in_hw would: half
            # (rounded down) before; the rest of the surplus is cut after.
            total = (in_hw[i] - 1) * s + k - out_hw[i]
            if total >= 0:
                pads[i], pads[i + 2] = total // 2, total - total // 2
            else:
                extra[i] = -total
        ins = [x, self.add_const(self.tensors[op.inputs[1]].name or "w", w.transpose(3, 0, 1, 2)),
               self.add_const(self.tensors[op.inputs[2]].name or "b", b)]
        attrs = dict(kernel_shape=list(w.shape[1:3]), strides=strides, pads=pads)
        if any(extra):
            attrs["output_padding"] = extra
        self.output(op, self.node("ConvTranspose", ins, **attrs))

    def convert(self):
        for index in self.graph_inputs:
            t = self.tensors[index]
            if len(t.shape) != 4 or t.dtype != FLOAT32:
                raise ConversionError("input %s must be a float32 NHWC tensor" % t.name)
            self.used_names.add(t.name)
            name = self.unique(t.name + "/nchw")
            self.nodes.append(helper.make_node("Transpose", [t.name], [name], perm=[0, 3, 1, 2]))
            self.names[index] = name
        for t in self.graph_outputs:
            self.used_names.add(self.tensors[t].name)

        handlers = {
            DEQUANTIZE: self.dequantize, CONV_2D: self.conv_2d,
            DEPTHWISE_CONV_2D: self.depthwise_conv_2d, AVERAGE_POOL_2D: self.average_pool_2d,
            ADD: lambda op: self.binary(op, "Add"), MUL: lambda op: self.binary(op, "Mul"),
            RELU: lambda op: self.unary(op, "Relu"), LOGISTIC: lambda op: self.unary(op, "Sigmoid"),
            HARD_SWISH: lambda op: self.unary(op, "HardSwish"),
            RESIZE_BILINEAR: self.resize_bilinear,
        }
        for op in self.ops:
            if op.code == CUSTOM and op.custom == TRANSPOSE_CONV_BIAS:
                handler = self.transpose_conv_bias
            elif op.code != CUSTOM and op.code in handlers:
                handler = handlers[op.code]
            else:
                raise ConversionError("unsupported operator %s" % op.name)
            try:
                handler(op)
            except (IndexError, ValueError) as e:
                raise ConversionError("%s: unexpected operands (%s)" % (op.name, e)) from e
            self.census[op.name] += 1

        outputs = []
        for index in self.graph_outputs:
            t = self.tensors[index]
            if index not in self.names or len(t.shape) != 4:
                raise ConversionError("output %s is not an NHWC runtime tensor" % t.name)
            self.nodes.append(helper.make_node("Transpose", [self.names[index]], [t.name],
                                               perm=[0, 2, 3, 1]))
            outputs.append(helper.make_tensor_value_info(t.name, TensorProto.FLOAT, t.shape))
        inputs = [helper.make_tensor_value_info(self.tensors[i].name, TensorProto.FLOAT,
                                                self.tensors[i].shape) for i in self.graph_inputs]
        graph = helper.make_graph(self.nodes, "selfie_segmentation", inputs, outputs,
                                  self.initializers)
        model = helper.make_model(graph, producer_name="tflite_to_onnx",
                                  opset_imports=[helper.make_opsetid("", OPSET)])
        model.ir_version = 8
        onnx.checker.check_model(model, full_check=True)
        return model


def main(argv):
    if len(argv) != 3:
        print("usage: tflite_to_onnx.py IN.tflite OUT.onnx", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
        try:
            tensors, ops, inputs, outputs = read_tflite(data)
        except (struct.error, IndexError, ValueError, UnicodeDecodeError) as e:
            raise ConversionError("damaged TFLite flatbuffer (%s)" % e) from e
        converter = Converter(tensors, ops, inputs, outputs)
        model = converter.convert()
    except (ConversionError, OSError) as e:
        print("tflite_to_onnx: %s: %s" % (argv[1], e), file=sys.stderr)
        return 1
    # A half-written model must not look up to date to the build.
    tmp = argv[2] + ".tmp"
    onnx.save(model, tmp)
    os.replace(tmp, argv[2])
    census = ", ".join("%s %d" % kv for kv in sorted(converter.census.items()))
    print("tflite_to_onnx: %d operators (%s) -> %d ONNX nodes, %d initialisers"
          % (sum(converter.census.values()), census, len(model.graph.node),
             len(model.graph.initializer)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
