% Quorv: supervised classification with labelled boxes.
%
% Quorv learns axis-parallel boxes (nodes) in feature space, each carrying a
% class, and gives a pattern the class of the box that takes it. The same
% models are made and read by the quorv command-line tool, the Python
% package and these functions: a model file written by one classifies alike
% in all three.
%
% Models (the tool's rules, defaults and model file):
%   quorv_fit          - Train a model from labelled patterns (scaling,
%                        shuffles, votes and forests as `quorv train`).
%   quorv_predict      - Classify patterns with a model (the nearest-box pass
%                        and the members' vote as `quorv classify`).
%   quorv_read_model   - Read a model file into a model struct.
%   quorv_write_model  - Write a model struct as a model file.
%
% Plug-ins (the learners themselves, nine and six positional arguments):
%   quorv_train        - Learn boxes from (scaled) training patterns.
%   quorv_perf         - Classify patterns with the boxes quorv_train made.
%
% Demonstration and data:
%   quorv_demo         - Train on two thirds of the iris flowers, classify
%                        the rest.
%   quorv_data         - Full name of a bundled data set.
%
% Getting started:
%   D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%   model = quorv_fit(D(:, 1:end-1), D(:, end));
%   labels = quorv_predict(model, D(:, 1:end-1));
%   quorv_write_model(model, 'iris.model');   % `quorv classify iris.model ...`
%
% With the Octave package, `pkg load quorv` puts all of these on the path;
% in a checkout, `make` (make.m) builds the plug-ins and the model gateway
% quorv_model_mex that the model functions call.
