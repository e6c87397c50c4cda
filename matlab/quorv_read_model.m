function model = quorv_read_model(path)
%QUORV_READ_MODEL  Read a Quorv model file into a model struct.
%   MODEL = QUORV_READ_MODEL(PATH) reads a model file that `quorv train`,
%   Python's save or QUORV_WRITE_MODEL wrote (single models, votes over
%   shuffles and forests, every format version), through the tool's own
%   reader, and returns the struct QUORV_PREDICT classifies with. Fields:
%     feature_names, label_name, ignored   names from the training data
%     class_codes, class_names             the classes, by ascending code
%     scaled, feature_min, feature_max     the training ranges
%     vigilance, min_size, learning_rate, epsilon, max_list_presentations,
%     trim_option                          the training parameters
%     training_patterns, shuffle_seed      rows and their order (seed -1:
%                                          file order; int64)
%     members    struct array: templates (nodes-by-2F bounds), labels (node
%                class codes), list_presentations, features (a forest
%                member's feature positions, from 1; empty otherwise)
%     forest     [] or sample_rows, bootstrap, features of a forest
%     version    the file's format version
%
%   Example:
%     model = quorv_read_model('iris.model');   % as QUORV_WRITE_MODEL's example wrote it
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     labels = quorv_predict(model, D(:, 1:end-1));
%
%   See also QUORV_WRITE_MODEL, QUORV_PREDICT, QUORV_FIT, QUORV.

if nargin ~= 1
  error('quorv_read_model: usage: MODEL = quorv_read_model(PATH)');
end
if ~ischar(path) || isempty(path)
  error('quorv_read_model: PATH must be a file name');
end
model = quorv_model_mex('read', path);
end

%!test
%! m = quorv_fit ([0 0; 1 1; 0.9 1], [3; 5; 5], 'Votes', 2, 'MaxSamples', 2, 'Seed', int64 (2^53) + 2);
%! file = [tempname() '.model'];
%! unwind_protect
%!   quorv_write_model (m, file);
%!   r = quorv_read_model (file);
%!   assert (r.shuffle_seed, int64 (2^53) + 2);
%!   assert (r.version, 3);
%!   r.version = m.version;
%!   assert (r, m);
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect

%!error <cannot read> quorv_read_model (tempname ())
%!error <model format version '9'> 
%! file = tempname ();
%! fid = fopen (file, 'w');  fputs (fid, "quorv-model 9\n");  fclose (fid);
%! unwind_protect
%!   quorv_read_model (file);
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect
