function run_quorv_calls(job_file, result_file)
% Runs the plug-in calls listed in job_file in this one session and writes what
% each call gave to result_file. Both files are native-endian binary, so that
% every double crosses exactly.
%
% Job:    int32 count; per call int32 plugin (0 train, 1 perf), nlhs, nrhs;
%         per input int32 ndims, int32 dims(ndims), double data (column-major),
%         or int32 -1, call, output: an output of an earlier call (from 0).
% Result: per call int32 ok; text error message; text console; int32 nout;
%         per output int32 is_real_double, ndims, dims(ndims), double data.
%         A text is int32 length, then its bytes.
names = {'quorv_train', 'quorv_perf'};
in = fopen(job_file, 'r');
out = fopen(result_file, 'w');
count = fread(in, 1, 'int32');
results = cell(1, count);
for c = 1:count
  head = fread(in, 3, 'int32');
  name = names{head(1) + 1};
  outputs = cell(1, head(2));
  args = cell(1, head(3));
  for k = 1:head(3)
    nd = fread(in, 1, 'int32');
    if nd < 0
      ref = fread(in, 2, 'int32') + 1;
      args{k} = results{ref(1)}{ref(2)};
    else
      dims = fread(in, nd, 'int32')';
      args{k} = reshape(fread(in, prod(dims), 'double'), dims);
    end
  end
  message = '';
  console = '';
  try
    if isempty(outputs)
      console = evalc('feval(name, args{:});');
    else
      console = evalc('[outputs{:}] = feval(name, args{:});');
    end
    ok = 1;
  catch err
    ok = 0;
    message = err.message;
  end
  fwrite(out, ok, 'int32');
  write_text(out, message);
  write_text(out, console);
  if ~ok
    outputs = {};
  end
  results{c} = outputs;
  fwrite(out, numel(outputs), 'int32');
  for k = 1:numel(outputs)
    x = outputs{k};
    fwrite(out, isa(x, 'double') && isreal(x) && ~issparse(x), 'int32');
    fwrite(out, ndims(x), 'int32');
    fwrite(out, size(x), 'int32');
    fwrite(out, double(x(:)), 'double');
  end
end
fclose(in);
fclose(out);
end

function write_text(out, text)
fwrite(out, numel(text), 'int32');
fwrite(out, double(text), 'uint8');
end
