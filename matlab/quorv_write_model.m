function quorv_write_model(model, path)
%QUORV_WRITE_MODEL  Save a model struct as a Quorv model file.
%   QUORV_WRITE_MODEL(MODEL, PATH) writes MODEL (from QUORV_FIT or
%   QUORV_READ_MODEL) to PATH in the model file the tool and Python read, by
%   the tool's own writer: the file is replaced only once the whole new one
%   is written, and a model that would not read back the same is refused
%   before any file is touched. `quorv classify PATH data.csv` then gives the
%   labels QUORV_PREDICT gives (the data's columns named as the model's
%   feature_names).
%
%   Example:
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     model = quorv_fit(D(:, 1:end-1), D(:, end));
%     quorv_write_model(model, 'iris.model');
%
%   See also QUORV_READ_MODEL, QUORV_FIT, QUORV.

if nargin ~= 2
  error('quorv_write_model: usage: quorv_write_model(MODEL, PATH)');
end
if ~ischar(path) || isempty(path)
  error('quorv_write_model: PATH must be a file name');
end
quorv_model_mex('write', model, path);
end

%!test
%! m = quorv_fit ([0 0; 1 1], {'no'; 'yes'}, 'Shuffle', true, 'Seed', 4);
%! file = [tempname() '.model'];
%! unwind_protect
%!   quorv_write_model (m, file);
%!   assert (quorv_read_model (file), setfield (m, 'version', 2));
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect

%!error <one class name per class code>
%! m = quorv_fit ([0 0; 1 1], [1; 2]);
%! m.class_names(end) = [];
%! quorv_write_model (m, tempname ());
%!error <one row of 2 \* features bounds per node label>
%! m = quorv_fit ([0 0; 1 1], [1; 2]);
%! m.members(1).templates(:, end) = [];
%! quorv_write_model (m, tempname ());
%!error <the model must be a struct> quorv_write_model (3, tempname ())
%!error <PATH must be a file name> quorv_write_model (struct (), 3)
